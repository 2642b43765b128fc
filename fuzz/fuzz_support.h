// Shared pieces of the fuzz targets: a link record whose line is a pipe the
// target drains and checks, a reader of the fuzz input, a canned control
// script that starts no process, and a check of the shell lines the daemon
// forms from MCU text.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "link/link.h"
#include "wire.h"

// Stops the process with a message on stderr: libFuzzer records the input.
[[noreturn]] void FuzzFail(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Log lines kept nowhere (libFuzzer reports on stderr); frame dumps off.
void FuzzQuietLog();

// The frames sent on the test line since the last call; fails when the
// bytes are not back-to-back whole frames.
std::vector<WireFrame> FuzzSent(TestLine* line);

// ---- the fuzz input ----

struct FuzzInput {
    const uchar* data;
    size_t size;
    size_t pos;
};
uchar TakeByte(FuzzInput* in);  // 0 when used up
int TakeShort(FuzzInput* in);   // big-endian; 0 when used up
// Up to `size` bytes (fewer when the input ends).
std::string TakeBytes(FuzzInput* in, size_t size);

// ---- the canned control script ----

// Every command line goes to the tests' recorder; each captured run takes its reply
// from the input: a status byte (0 exit 0, 1 exit 1, 2 could not start,
// 3 killed by a signal, else exit 0), a 2-byte length and that many bytes
// of output (NUL bytes included). With the input used up: exit 1, no output.
void FuzzInstallScript(FuzzInput* in);
struct ScriptCall {
    std::string line;
    bool captured;
    int status;         // what the run gave back (-1: could not start)
    std::string reply;  // what the script printed
};
const std::vector<ScriptCall>& ScriptCalls();
void ClearScriptCalls();

// Fails when a line would let the shell do more than run one command with
// the words the daemon meant: an unterminated quote, an unescaped $ or `,
// or ; | < > ( ) & or a line end outside quotes other than the one
// trailing " &".
void CheckShellLine(const std::string& line);

// ShellWords (the words the shell makes of a line) is in wire.h.
