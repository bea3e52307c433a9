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

// WebKit, libwpe and xkbcommon are not linked here (WebKit's API version differs between releases): their functions
// are taken from the copies wpesrc has loaded. The loaded library whose path contains `part`, opened again without
// loading anything (dlclose it after dlsym; wpesrc keeps it loaded); null when none is loaded.
void *openLoadedLibrary(const char *part);

// Connects `handler` to wpesrc's "configure-web-view" (on the video source inside the bin), which runs on wpesrc's
// WPE thread with the new view, before its first load: void handler(GstElement *, GObject *view, gpointer data).
void onNewWebView(GstElement *wpesrc, GCallback handler, gpointer data);

} // namespace page
