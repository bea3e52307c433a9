#pragma once

// Where wpesrc and WebKit, left as they are, would not behave as a browser source must: worked around here, in
// the page helper. WebKit is not linked (its API version differs between releases): its functions are taken from
// the copy wpesrc has loaded.

#include <gst/gst.h>

namespace page {

// The wpe plug-in's web extension carries a page's audio out of WebKit's web process. Loads the plug-in through a
// folder beside the extension it must use: the mended copy installed beside this helper where there is one, else
// its own (gst-plugins-bad 1.22 looks for that in a folder its build misspelt). Whether the mended copy is in
// use, whose audio sink lets a page restart a media element. Before the first wpesrc.
bool loadWpeWithItsExtension();

// Lets every page wpesrc's view navigates to play sound and Web Audio without a user gesture, and a local file
// read the files beside it, as pages in OBS's own browser source do.
void configureLikeObsBrowser(GstElement *wpesrc);

// The WebKit of Debian 12 marks a page's interleaved audio buffers with an audio meta that counts more samples
// than they hold; GStreamer's converters trust the meta and read past the buffer. For interleaved sound the caps
// say all there is: the meta is taken off every such buffer that passes `pad`.
void dropAudioMeta(GstPad *pad);

// A function of a library this process has loaded whose file name contains `library`; null when there is none.
void *loadedFunction(const char *library, const char *name);
// A function of the WebKit that this process has loaded; null when there is none.
void *webkitFunction(const char *name);

// Connects `handler` to `signal` of the video source inside wpesrc, which owns the view.
void connectToVideoSource(GstElement *wpesrc, const char *signal, GCallback handler, gpointer data);

} // namespace page
