#pragma once

// What the page helper does inside the page itself: the source's style sheet and reloads through wpesrc's
// run-javascript, and window.obsstudio (bridge.js, added to every frame at document start), whose calls and
// console lines go on to the module. The scripts run from the helper's main thread only: wpesrc's WPE thread
// waits for them.

#include <gst/gst.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace page {

// Adds `css` to the loaded page as a style element, unless the page already has it; empty adds nothing. Called
// again after every load, which drops it.
void applyStyleSheet(GstElement *wpesrc, const std::string &css);

void reloadPage(GstElement *wpesrc);

// Gives every page wpesrc's view loads window.obsstudio, and sends what its pages post to it to the module; before
// the pipeline starts. What the pages post is checked and counted here: at most a few console lines a second go
// on.
void installBridge(GstElement *wpesrc);
// The page's callback `id` gets `json`; `id` and `json` as the channel checks them.
void answerCall(GstElement *wpesrc, std::string_view id, std::string_view json);
// The page's window gets the event `name` with `json` as its detail.
void dispatchEvent(GstElement *wpesrc, std::string_view name, std::string_view json);
// The next press the page gets was counted `clicks` times by OBS.
void announceClicks(GstElement *wpesrc, uint32_t clicks);

} // namespace page
