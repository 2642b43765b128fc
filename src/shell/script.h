// Every command line of the control script, formed in this one place.
// Each writes into dest (cap bytes) and returns the line's length, or -1
// when it does not fit (nothing is cut silently). Text that came from the
// MCU is escaped so the script receives exactly its bytes as one argument.
#pragma once

#include <cstddef>

constexpr size_t kCommandLineSize = 4096;

int FormatHttpGetLine(char* dest, size_t cap, const char* uri);
int FormatHttpPutLine(char* dest, size_t cap, const char* uri, const char* key, int value);
int FormatSampleRateLine(char* dest, size_t cap, int hz);
int FormatSpConfigLine(char* dest, size_t cap, int x, int lfe, int z);
// "%s %s": the one-word actions, "zel_reset" and "update exec".
int FormatScriptActionLine(char* dest, size_t cap, const char* action);
int FormatNetLine(char* dest, size_t cap, const char* iface, const char* action);
int FormatDeviceIdNameLine(char* dest, size_t cap, const char* id, const char* name);
int FormatDeviceUuidLine(char* dest, size_t cap);
