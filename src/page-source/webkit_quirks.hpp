#pragma once

// Where wpesrc and WebKit, left as they are, would not behave as a browser source must: worked around here, in
// the page helper.

#include <gst/gst.h>

namespace page {

// gst-plugins-bad 1.22's wpe plug-in looks for its web extension, which delivers a page's audio, in a folder its
// build misspelt: loads the plug-in through a folder where the extension is found. Before the first wpesrc.
void loadWpeWithItsExtension();

// Lets every page wpesrc's view navigates to play sound and Web Audio without a user gesture.
void allowSoundWithoutGesture(GstElement *wpesrc);

} // namespace page
