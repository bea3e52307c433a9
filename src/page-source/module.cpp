// The page source module: provides browser_source where OBS has none, drawn by page helpers.

#include "page-source/helper_process.hpp"
#include "page-source/page_log.hpp"
#include "page-source/page_type.hpp"
#include "page-source/protocol.hpp"

#include <obs-module.h>

#include <string>
#include <unistd.h>

OBS_DECLARE_MODULE()

namespace {

const char *const kHelperName = "lorvalen-page-helper";

// Beside the module (the per-user layout and the build folder), else where the system package puts it.
std::string findHelper()
{
	const char *module = obs_get_module_binary_path(obs_current_module());
	if (module) {
		std::string beside(module);
		const size_t slash = beside.rfind('/');
		beside = (slash == std::string::npos ? std::string(".") : beside.substr(0, slash)) + "/" + kHelperName;
		if (access(beside.c_str(), X_OK) == 0)
			return beside;
	}
	std::string installed = std::string(LORVALEN_PAGE_HELPER_DIR) + "/" + kHelperName;
	if (access(installed.c_str(), X_OK) == 0)
		return installed;
	return std::string();
}

} // namespace

bool obs_module_load(void)
{
	return true;
}

// After every module's load, so that a browser plug-in has registered its type, and before the scene
// collection is read, so that saved browser sources find ours.
void obs_module_post_load(void)
{
	if (obs_source_get_display_name("browser_source")) {
		page_log(LOG_INFO, "browser_source is provided by another module; the page renderer stands aside");
		return;
	}
	const std::string helper = findHelper();
	// The probe also fills GStreamer's registry cache for the pages to come; a first scan can take seconds.
	if (helper.empty() || page::runHelper(helper, {"--probe"}, 30000) != page::helper_exit::kOk) {
		page_log(LOG_INFO, "GStreamer's wpesrc is not available (%s); browser_source not registered",
			 helper.empty() ? "page helper missing" : "install gstreamer1.0-wpe");
		return;
	}
	page::registerPageType(helper);
	page_log(LOG_INFO, "browser_source registered: pages rendered by WPE WebKit through GStreamer (%s)",
		 helper.c_str());
}
