#include "module/plugin_log.hpp"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

void plugin_log(int level, const char *format, ...)
{
	// "[" + name + "] " + format + terminator: the caller's placeholders are copied, not expanded, here.
	const size_t length = strlen(format);
	const size_t bound = length + 4 + (sizeof(PLUGIN_NAME) - 1);
	char *buffer = static_cast<char *>(malloc(bound + 1));
	if (!buffer)
		return; // out of memory: the line is dropped rather than logged without its prefix

	snprintf(buffer, bound, "[%s] %s", PLUGIN_NAME, format);

	va_list args;
	va_start(args, format);
	blogva(level, buffer, args);
	va_end(args);
	free(buffer);
}
