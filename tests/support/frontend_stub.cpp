#include "support/frontend_stub.hpp"

#include <obs-frontend-api.h>

namespace {
QWidget *mainWindow = nullptr;
obs_weak_source_t *currentScene = nullptr;
} // namespace

namespace frontend {

std::vector<MenuItem> &menuItems()
{
	static std::vector<MenuItem> items;
	return items;
}

void setMainWindow(QWidget *window)
{
	mainWindow = window;
}

void setCurrentScene(obs_source_t *sceneSource)
{
	// Held weakly, like OBS itself, so that a test releasing its scene really destroys it.
	obs_weak_source_release(currentScene);
	currentScene = sceneSource ? obs_source_get_weak_source(sceneSource) : nullptr;
}

void reset()
{
	menuItems().clear();
	setCurrentScene(nullptr);
	mainWindow = nullptr;
}

} // namespace frontend

#define STUB_EXPORT extern "C" __attribute__((visibility("default")))

STUB_EXPORT void obs_frontend_add_tools_menu_item(const char *name, obs_frontend_cb callback, void *private_data)
{
	frontend::menuItems().push_back({name, callback, private_data});
}

STUB_EXPORT void *obs_frontend_get_main_window(void)
{
	return mainWindow;
}

STUB_EXPORT obs_source_t *obs_frontend_get_current_scene(void)
{
	return currentScene ? obs_weak_source_get_source(currentScene) : nullptr;
}
