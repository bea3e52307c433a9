#include "dialog/setup_dialog.hpp"
#include "module/plugin_log.hpp"

#include <obs-frontend-api.h>
#include <obs-module.h>

#include <QCoreApplication>

OBS_DECLARE_MODULE()
OBS_MODULE_USE_DEFAULT_LOCALE("lorvalen-pgm", "en-US")

static void onToolsMenuItem(void *)
{
	showSetupDialog();
}

bool obs_module_load(void)
{
	// An OBS built with another Qt major runs its own QApplication, invisible to our Qt: the first widget
	// we made would abort OBS. Refuse to load instead, so libobs unloads us and OBS keeps running.
	if (!QCoreApplication::instance()) {
		plugin_log(LOG_INFO, "Lorvalen PGM Source not loaded: this build needs an OBS built with Qt %d",
			   QT_VERSION_MAJOR);
		return false;
	}

	obs_frontend_add_tools_menu_item("Lorvalen PGM Source...", onToolsMenuItem, nullptr);
	plugin_log(LOG_INFO, "Lorvalen PGM Source loaded (version %s)", PLUGIN_VERSION);
	return true;
}

void obs_module_unload(void)
{
	plugin_log(LOG_INFO, "Lorvalen PGM Source unloaded");
}
