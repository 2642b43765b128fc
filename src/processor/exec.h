// The one runner of shell commands, and quoting for text from the MCU.
#pragma once

#include <cstddef>

// Without an output area (dest or size null, or *size <= 0) runs cmd with
// system(); otherwise with popen(), capturing at most *size - 1 bytes of its
// output as a terminated text, *size set to the count. Logs the result line.
int Exec(char* dest, int* size, const char* cmd);

// Escapes src for use between double quotes in a shell line: dollar,
// backquote, double quote and backslash get a backslash, everything else (blanks, ;, &, newlines)
// is literal there. So "%s" around the result hands the command exactly src's bytes. Returns the
// length written, or -1 when dest is too small.
int ShellEscape(char* dest, size_t cap, const char* src);

// Test seam: where command lines go. The production runner is Exec's own;
// fuzzers and unit tests may install a recorder that starts no process.
typedef int (*ExecRunnerFn)(char* dest, int* size, const char* cmd);
void SetExecRunner(ExecRunnerFn runner);  // null restores the real runner
