// Formatting into a fixed area without cutting: a text that does not fit is
// refused (-1, empty result) rather than shortened, so no command line is
// ever run with its tail missing.
#pragma once

#include <cstddef>

int FormatLine(char* dest, size_t cap, const char* fmt, ...) __attribute__((format(printf, 3, 4)));
