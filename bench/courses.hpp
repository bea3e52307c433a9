#pragma once

// The courses the benchmark times, each run over and over beside its floor, the bare library doing the same work.

#include "table.hpp"

#include <obs.h>

#include <vector>

// Tools-menu activation until the setup dialog is exposed and painted, with a local server listing 3 studios.
// Against the default address when port 3000 on 127.0.0.1 is free; otherwise the dialog is built, refreshed
// against the local server's own port and run the way the menu item runs it.
std::vector<Row> benchDialogShown(int runs);

// One refresh of a list of `studios` studios, split into the fetch's HTTP, the decoding and the filling of the
// studio box, and a second refresh into a dialog on screen that already holds the list.
std::vector<Row> benchRefresh(int studios, int runs);

// The OK action's provisioning in `scene` (the current scene), on the create course and on the update course.
std::vector<Row> benchApply(obs_scene_t *scene, int runs);
