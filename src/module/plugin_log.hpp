#pragma once

#include <util/base.h>

constexpr const char PLUGIN_NAME[] = "lorvalen-pgm";
constexpr const char PLUGIN_VERSION[] = "1.0.0";

// Writes one line to the OBS log as "[lorvalen-pgm] <message>". Only the caller's format is expanded,
// once, by libobs; the prefix is never subject to expansion.
void plugin_log(int level, const char *format, ...)
#ifdef __GNUC__
	__attribute__((format(printf, 2, 3)))
#endif
	;
