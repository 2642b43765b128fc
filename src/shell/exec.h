// The one runner of shell commands, and quoting for text from the MCU.
//
// Every command runs in a process group of its own under a deadline: when it
// passes (or a capture overflows), the daemon stops waiting and the caller
// gets a failure. A request's child is then ended with its whole group; a
// device action (update, audio reset, poweroff) is left to finish and reaped
// when it ends.
#pragma once

#include <cstddef>

// Without an output area (dest or size null, or *size <= 0) the command's
// output goes to the log (the first few KiB, whole lines); otherwise at most
// *size - 1 bytes of it are captured as a terminated text, *size set to the
// count. Logs the result line. The result is the wait status, -1 when the
// command could not start, passed its deadline or gave too much output.
int Exec(char* dest, int* size, const char* cmd);
// Exec whose log line shows `shown` instead of cmd: for lines that carry a
// secret (a WiFi password), masked in `shown`.
int ExecShown(char* dest, int* size, const char* cmd, const char* shown);
// A device action that may rightly run long: never killed; past the deadline
// the daemon stops waiting (result -1) and reaps it later.
int ExecDeviceAction(const char* cmd);

// The deadline of every command in milliseconds: QZ_COMMAND_TIMEOUT in whole
// seconds (1 to 3600, default 10), read from the environment once, on the
// first call; a bad value is logged and the default used.
int GetExecDeadlineMs();
// Ends the process group of every request child the daemon is waiting for
// (TERM, then KILL after a short grace); device actions run on. From then on
// a new request's command is not started (-1): the daemon is stopping.
// Thread-safe; returns once they are gone or the grace is over.
void ExecEndChildren();

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
