// Small text helpers of the MCU console.
#pragma once

#include <string>

#include "common/public.h"

// printf into a std::string.
std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// The text at p[at..] up to its NUL or the end of the n bytes; empty when
// `at` lies outside them.
std::string TextAt(const uchar* p, int n, int at);

// Double-quoted, with quotes, backslashes and control bytes escaped, so a
// name from the line can never disturb the terminal or the line's shape.
std::string Quoted(const std::string& text);
