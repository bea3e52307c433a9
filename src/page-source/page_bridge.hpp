#pragma once

// What the page helper does inside the page itself, through wpesrc's run-javascript: the source's style sheet
// and reloads.

#include <gst/gst.h>

#include <string>

namespace page {

// Adds `css` to the loaded page as a style element, unless the page already has it; empty adds nothing. Called
// again after every load, which drops it.
void applyStyleSheet(GstElement *wpesrc, const std::string &css);

void reloadPage(GstElement *wpesrc);

} // namespace page
