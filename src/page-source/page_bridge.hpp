#pragma once

// What the page helper does to its page: the source's style sheet, through wpesrc's run-javascript from the
// helper's main thread; window.obsstudio (bridge.js, added to every frame at document start), whose calls and
// console lines go on to the module. The view's load events, on wpesrc's WPE thread, come back to the main thread.
// Scripts run from the helper's main thread only: wpesrc's WPE thread waits for them.

#include "page-source/protocol.hpp"

#include <gst/gst.h>

#include <cstdint>
#include <string>
#include <string_view>

namespace page {

enum class PageLoad { Committed, Finished };

// Watches the view wpesrc makes for its page: `onLoad` runs on the helper's main thread (the thread running
// the default main context) at each load event of the page. Every page the view loads gets window.obsstudio,
// and what it posts there goes to the module, checked and counted: at most a few console lines a second go on.
// `mediaRestarts`: the page may restart an ended media element (the web extension in use has the mended audio
// sink), which keeps a loop WebKit 2.48 cannot. Before the pipeline starts.
void watchView(GstElement *wpesrc, bool mediaRestarts, void (*onLoad)(PageLoad event, void *data), void *data);

// Puts `css` into the loaded page as a style element after the page's own, replacing the one put there
// before; empty removes it. A load drops it: call again after every load.
void applyStyleSheet(GstElement *wpesrc, const std::string &css);

// The page's callback `id` gets `json`; `id` and `json` as the channel checks them.
void answerCall(GstElement *wpesrc, std::string_view id, std::string_view json);
// The page's window gets the event `name` with `json` as its detail.
void dispatchEvent(GstElement *wpesrc, std::string_view name, std::string_view json);
// The page's document is hidden (visibilityState "hidden", a visibilitychange) or visible again.
void tellHidden(GstElement *wpesrc, bool hidden);
// OBS gave the page the keyboard (its Interact window is active) or took it away: document.hasFocus() and the
// window's focus and blur say so.
void tellFocused(GstElement *wpesrc, bool focused);
// The next press the page gets was counted `clicks` times by OBS.
void announceClicks(GstElement *wpesrc, uint32_t clicks);
// What OBS's Interact window sent, as GStreamer's navigation events on wpesrc's video pad.
void sendInput(GstElement *wpesrc, const InputEvent &input);

} // namespace page
