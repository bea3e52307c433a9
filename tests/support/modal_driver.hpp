#pragma once

// Drives modal windows as a user would: the action runs inside the modal window's own event loop, once the
// window is the active modal widget and visible.

#include <functional>

class QWidget;

// Waits (polling, for at most timeoutMs) for a visible modal widget other than `other`, then runs action on
// it once. Returns at once; the action runs later, from whichever event loop is running then.
void onNextModal(const std::function<void(QWidget *)> &action, const QWidget *other = nullptr, int timeoutMs = 15000);
