#pragma once

// What the page helper does to its page: the source's style sheet, through wpesrc's run-javascript from the
// helper's main thread. The view's load events, on wpesrc's WPE thread, come back to the main thread.

#include <gst/gst.h>

#include <string>

namespace page {

enum class PageLoad { Committed, Finished };

// Watches the view wpesrc makes for its page: `onLoad` runs on the helper's main thread (the thread running
// the default main context) at each load event of the page. Before the pipeline starts.
void watchView(GstElement *wpesrc, void (*onLoad)(PageLoad event, void *data), void *data);

// Puts `css` into the loaded page as a style element after the page's own, replacing the one put there
// before; empty removes it. A load drops it: call again after every load.
void applyStyleSheet(GstElement *wpesrc, const std::string &css);

} // namespace page
