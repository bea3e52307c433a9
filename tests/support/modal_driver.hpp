#pragma once

// Drives modal windows as a user would: the action runs inside the modal window's own event loop, once the
// window is the active modal widget and visible.

#include <functional>

class QWidget;

// Waits (polling, for at most timeoutMs) for a visible modal widget other than `other`, then runs action on
// it once. Returns at once; the action runs later, from whichever event loop is running then.
void onNextModal(const std::function<void(QWidget *)> &action, const QWidget *other = nullptr, int timeoutMs = 15000);

// A key a person presses goes to the focused widget of the active window, and only then do that window's
// shortcuts see it. Offscreen, a newly shown dialog becomes Qt's active window some time after it is shown:
// this gives `widget` the focus and waits (at most timeoutMs) until its window is the active one and the widget
// has the focus, so that a key sent next goes where a person's key would. False if that never happened.
bool readyForKeys(QWidget *widget, int timeoutMs = 10000);
