// Loadable OBS module registering the "browser_source" type, for the end-to-end test in the real OBS.
// OBS builds without the browser plug-in (Debian's among them) would otherwise create placeholders of no
// size, and the plug-in's fit could not be observed. The type itself is the unit tests' stand-in.
#include "support/browser_stand_in.hpp"

#include <obs-module.h>

OBS_DECLARE_MODULE()
OBS_MODULE_USE_DEFAULT_LOCALE("browser-stand-in", "en-US")

bool obs_module_load(void)
{
	registerBrowserStandIn();
	blog(LOG_INFO, "[browser-stand-in] registered browser_source");
	return true;
}
