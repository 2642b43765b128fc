// The tests' one toolkit for the wire and the control script, shared by the
// unit tests, the fuzz targets and the benches: frames built and split, a
// line a test reads back, and a command runner that records every line.
#pragma once

#include <string>
#include <vector>

#include "link/link.h"

using Bytes = std::vector<uchar>;

struct WireFrame {
    uchar addr;
    uchar id;
    Bytes payload;
};

// Bytes from hex text ("05 0B 00").
Bytes Hex(const char* text);

// The frame as it goes on the wire (the daemon's own encoder).
Bytes Wire(const Bytes& payload, uchar id = 1, uchar addr = 0x34);

// Splits back-to-back frames into out; returns "" or what is wrong with the
// bytes (no start byte, cut short, bad checksum or end, short/long kind not
// chosen by the length).
std::string SplitFrames(const uchar* bytes, size_t size, std::vector<WireFrame>* out);

// Received bytes in memory for the frame reader (a ByteSource's ctx, read by
// ReadMemoryLine), on a clock of its own: the line goes quiet for pauseMs
// before byte pauseAt, and a read inside a frame stops there when the pause
// reaches gapMs; it hangs up once before byte cutAt (the read under way is
// lost, kLineReopened). Reads past the end give -1.
struct MemoryLine {
    const uchar* data;
    size_t size;
    size_t pos;
    size_t cutAt;
    size_t pauseAt;
    int pauseMs;
    int gapMs;
};
int ReadMemoryLine(void* ctx, uchar* dest, int size, bool inFrame);

// A line for the link record: a non-blocking pipe, the test reads its end.
struct TestLine {
    TtyData tty;
    int peer;
};
void OpenTestLine(TestLine* line);
void CloseTestLine(TestLine* line);
// Bytes sent since the last call, into dest (at most cap); their count.
size_t DrainLine(TestLine* line, uchar* dest, size_t cap);
// The frames sent since the last call; a malformed stream fails the caller's
// check through *error.
std::vector<WireFrame> SentFrames(TestLine* line, std::string* error);

// The recording command runner: every line the daemon would run is kept
// (from any thread; read them once the threads are done);
// reply(line, captured, &output) gives the output and the status (as pclose
// does; -1: could not start). captured: the caller reads the output.
typedef int (*ReplyFn)(const std::string& line, bool captured, std::string* output);
void InstallRecorder(ReplyFn reply);
void RemoveRecorder();
std::vector<std::string>& RecordedLines();

// The words the shell makes of a command line: quotes removed, backslash
// escapes resolved (a trailing "&" is a word of its own).
std::vector<std::string> ShellWords(const std::string& line);

// Stdout (the daemon's log) replaced by a stream that keeps nothing: no
// system call per line. For the fuzz targets and benches.
void DiscardLog();
