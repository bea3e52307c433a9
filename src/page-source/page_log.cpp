#include "page-source/page_log.hpp"

#include <cstdarg>
#include <string>

void page_log(int level, const char *format, ...)
{
	// The prefix is joined to the caller's format, so that only the caller's placeholders are expanded.
	const std::string prefixed = std::string("[lorvalen-page-source] ") + format;
	va_list args;
	va_start(args, format);
	blogva(level, prefixed.c_str(), args);
	va_end(args);
}
