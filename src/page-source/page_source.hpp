#pragma once

// The browser_source type drawn by page helpers.

#include <string>

namespace page {

// Registers "browser_source"; each source runs the helper at `helperPath`.
void registerPageSource(const std::string &helperPath);

} // namespace page
