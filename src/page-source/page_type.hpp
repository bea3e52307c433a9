#pragma once

// The browser_source type drawn by page helpers: its properties and defaults (OBS's own browser source's keys
// and meaning), and libobs's callbacks, each forwarded to its PageSource.

#include <string>

namespace page {

// Registers "browser_source"; each source runs the helper at `helperPath`.
void registerPageType(const std::string &helperPath);

} // namespace page
