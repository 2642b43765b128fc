#include "processor/http.h"

#include <unistd.h>

#include "common/public.h"
#include "shell/exec.h"
#include "shell/script.h"

namespace {

// Runs a formed line; with an output area the capture is terminated and
// emptied again when the script failed, so no caller reads half an error.
int RunCaptured(char* dest, int size, const char* line) {
    const bool capture = Assigned(dest) && size > 0;
    if (capture) dest[0] = '\0';
    int count = capture ? size : 0;
    int rc = Exec(capture ? dest : nullptr, capture ? &count : nullptr, line);
    if (!capture) return rc == 0 ? 0 : -1;
    if (count < 0) count = 0;
    if (count > size - 1) count = size - 1;
    dest[count] = '\0';
    if (rc != 0) {
        dest[0] = '\0';
        return -1;
    }
    return count;
}

}  // namespace

int GetHttp(char* dest, int size, const char* uri) {
    char line[kCommandLineSize];
    if (IsNull(uri) || FormatHttpGetLine(line, sizeof line, uri) < 0) {
        if (Assigned(dest) && size > 0) dest[0] = '\0';
        return -1;
    }
    return RunCaptured(dest, size, line);
}

int PutHttp(char* dest, int size, const char* uri, const char* key, int value) {
    char line[kCommandLineSize];
    if (IsNull(uri) || IsNull(key) || FormatHttpPutLine(line, sizeof line, uri, key, value) < 0) {
        if (Assigned(dest) && size > 0) dest[0] = '\0';
        return -1;
    }
    return RunCaptured(dest, size, line);
}

JsonObject* GetHttpJsonObject(char* dest, int size, const char* uri) {
    if (GetHttp(dest, size, uri) <= 0) return nullptr;
    return ToJsonObject(dest);
}

bool FileExist(const char* filename) {
    if (IsNull(filename) || filename[0] == '\0') return false;
    return access(filename, F_OK) == 0;
}
