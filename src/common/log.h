// The log: plain lines on standard output. Every line is formatted first and
// written with one call, so lines of different threads never mix, and
// flushed at once, so nothing waits in a buffer under a service manager.
#pragma once

#include <cstddef>

// printf-style; the text should end with its own line feed.
void Log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes text exactly as given (one call, then flush).
void LogWrite(const char* text, size_t size);

// Makes standard output line-buffered even when it is a pipe or the journal.
void LogInit();
