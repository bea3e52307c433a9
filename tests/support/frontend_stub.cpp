#include "support/frontend_stub.hpp"

#include <algorithm>
#include <utility>

namespace {
QWidget *mainWindow = nullptr;
obs_weak_source_t *currentScene = nullptr;
std::vector<std::pair<obs_frontend_event_cb, void *>> eventCallbacks;
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

void fireEvent(obs_frontend_event event)
{
	const auto callbacks = eventCallbacks; // a callback may add or remove one
	for (const auto &[callback, data] : callbacks)
		callback(event, data);
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

STUB_EXPORT void obs_frontend_add_event_callback(obs_frontend_event_cb callback, void *private_data)
{
	eventCallbacks.emplace_back(callback, private_data);
}

STUB_EXPORT void obs_frontend_remove_event_callback(obs_frontend_event_cb callback, void *private_data)
{
	const auto entry = std::make_pair(callback, private_data);
	eventCallbacks.erase(std::remove(eventCallbacks.begin(), eventCallbacks.end(), entry), eventCallbacks.end());
}
