#pragma once

// A stand-in for OBS's Browser Source type ("browser_source"), which comes from OBS's browser plug-in and is
// missing here. It draws nothing and reports the width and height of its settings.
void registerBrowserStandIn();
