#pragma once

#include <QString>

// The address the dialog starts with, and the one an empty address falls back to.
inline constexpr const char kDefaultServerUrl[] = "http://127.0.0.1:3000";

// Turns the typed server address into a base address: trimmed once, the default when that leaves nothing,
// then every trailing "/" removed so that a path can be appended directly.
QString normalizeServerUrl(QString address);
