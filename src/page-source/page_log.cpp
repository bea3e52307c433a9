#include "page-source/page_log.hpp"

#include <cstdarg>
#include <cstdio>

void page_log(int level, const char *format, ...)
{
	char text[2048];
	va_list args;
	va_start(args, format);
	vsnprintf(text, sizeof text, format, args);
	va_end(args);
	blog(level, "[lorvalen-page-source] %s", text);
}
