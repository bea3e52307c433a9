#pragma once

// libobs started in the test process, once per executable.

#include <cstdint>

namespace obs_session {

// Starts libobs (needs an X display: the tests run under xvfb-run). Aborts the test run if it cannot.
void start();

// Gives libobs a real canvas of this base size (OpenGL under Xvfb). Returns false when video cannot start.
bool resetVideo(uint32_t width, uint32_t height);

// What a test that creates browser sources starts from: the stand-in "browser_source" type registered (once),
// a 1920 x 1080 canvas, and libobs's one-off allocations made so that live counts start from rest.
bool prepareForBrowserSources();

// Shuts libobs down; returns libobs's count of allocations still live afterwards (0 when nothing leaked).
long stop();

} // namespace obs_session
