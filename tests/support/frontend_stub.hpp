#pragma once

// The obs-frontend-api calls the modules make that tests steer are served by the OBS application. Test executables
// define and export them here instead (they bind ahead of libobs-frontend-api), and steer what they return.

#include <obs-frontend-api.h>
#include <obs.h>

#include <string>
#include <vector>

class QWidget;

namespace frontend {

struct MenuItem {
	std::string name;
	void (*callback)(void *);
	void *data;
};

// Menu items registered so far, in order.
std::vector<MenuItem> &menuItems();

// What obs_frontend_get_main_window returns (null by default).
void setMainWindow(QWidget *window);

// The scene obs_frontend_get_current_scene hands out (a new reference each call); null for none.
void setCurrentScene(obs_source_t *sceneSource);

// Calls every front-end event callback added so far with `event`, as OBS does on its UI thread.
void fireEvent(obs_frontend_event event);

// Forgets the menu items and the current scene.
void reset();

} // namespace frontend
