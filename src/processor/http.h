// The processor's HTTP API, reached only through the control script, and the
// existence test for its state files.
#pragma once

#include "processor/json.h"

// Runs "http get" for uri (a path after DIRAC_HTTP_ROOT), capturing the body
// into dest as a terminated text (at most size - 1 bytes). Returns the byte
// count, or -1 when the script failed; dest is then empty.
int GetHttp(char* dest, int size, const char* uri);
// Runs "http put" with uri?key=value&id=DIRAC_ID. With a null dest or size 0
// nothing is captured and the result is 0 on success; -1 on failure.
int PutHttp(char* dest, int size, const char* uri, const char* key, int value);
// GetHttp, then the body parsed; null when nothing came or it does not parse.
// The caller owns the result.
JsonObject* GetHttpJsonObject(char* dest, int size, const char* uri);

// False for a null or empty name.
bool FileExist(const char* filename);
