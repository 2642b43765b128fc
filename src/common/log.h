// The log: plain lines on standard output. Every line is formatted first and
// goes out with one write, so lines of different threads never mix.
//
// Once the writer is started, no caller ever waits on standard output: lines
// go through a bounded queue to one writer thread. When the queue is full a
// line is dropped whole and counted, and one line says how many were dropped
// once there is room again. Before that (tools, unit tests) lines are
// written at once by the caller.
#pragma once

#include <cstddef>

// printf-style; the text should end with its own line feed.
void Log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Logs text exactly as given, as one write.
void LogWrite(const char* text, size_t size);

// Makes standard output line-buffered even when it is a pipe or the journal.
void LogInit();
// Starts the writer thread (the daemon: a log reader that stalls or goes
// away must never hold up the serial link); at exit, queued lines get a
// second to go out.
void LogStartWriter();
// Waits, at most timeoutMs, until every queued line has been written.
void LogFlush(int timeoutMs);
