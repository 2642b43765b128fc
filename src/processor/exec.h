// The one runner of shell commands, and quoting for text from the MCU.
#pragma once

#include <cstddef>

// Without an output area (dest or size null, or *size <= 0) runs cmd with
// system(); otherwise with popen(), capturing at most *size - 1 bytes of its
// output as a terminated text, *size set to the count. Logs the result line.
int Exec(char* dest, int* size, const char* cmd);
// Exec whose log line shows `shown` instead of cmd: for lines that carry a
// secret (a WiFi password), masked in `shown`.
int ExecShown(char* dest, int* size, const char* cmd, const char* shown);

// Escapes src for use between double quotes in a shell line: dollar,
// backquote, double quote and backslash get a backslash, everything else (blanks, ;, &, newlines)
// is literal there. So "%s" around the result hands the command exactly src's bytes. Returns the
// length written, or -1 when dest is too small.
int ShellEscape(char* dest, size_t cap, const char* src);

// Test seam: where command lines go. The production runner starts the
// process; fuzzers and unit tests may install a recorder that starts none.
// Exec logs the result line whichever runner is installed.
typedef int (*ExecRunnerFn)(char* dest, int* size, const char* cmd);
void SetExecRunner(ExecRunnerFn runner);  // null restores the real runner
