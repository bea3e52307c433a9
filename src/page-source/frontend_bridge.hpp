#pragma once

// The module's side of window.obsstudio: a page's calls performed through obs-frontend-api on OBS's UI thread,
// the only thread that may ask the front end, and OBS's front-end events handed to every page.

#include "page-source/page_api.hpp"

#include <obs.h>

#include <string>

namespace page {

class PageSource;

// A page source hears OBS's front-end events from addPage until removePage (which waits for a delivery under way).
void addPage(PageSource *page);
void removePage(PageSource *page);
// Hands OBS's front-end events to the pages from now on; once, when the type is registered.
void listenToFrontend();

// Queues `call` for OBS's UI thread and returns at once. There, if `source` still exists, it is performed as OBS's
// own browser source performs it and the answer goes to the page's callback `id` (none when empty). `level` is
// the page's control level when it called.
void callOnUiThread(obs_source_t *source, ApiCall call, std::string id, std::string argument, long long level);

} // namespace page
