#pragma once

// Log lines of the page source module, prefixed with its name.

#include <util/base.h>

void page_log(int level, const char *format, ...) __attribute__((format(printf, 2, 3)));
