#include "processor/exec.h"

#include <cstdio>
#include <cstdlib>

#include "common/log.h"
#include "common/public.h"

namespace {

int RealExec(char* dest, int* size, const char* cmd) {
    int rc;
    if (IsNull(dest) || IsNull(size) || *size <= 0) {
        rc = system(cmd);
    } else {
        FILE* pipe = popen(cmd, "re");
        if (pipe == nullptr) {
            rc = -1;
        } else {
            // Room is kept for the NUL: a reply that fills the area is cut,
            // never left unterminated.
            size_t cap = static_cast<size_t>(*size) - 1;
            size_t count = 0;
            while (count < cap) {
                size_t n = fread(dest + count, 1, cap - count, pipe);
                if (n == 0) break;
                count += n;
            }
            dest[count] = '\0';
            // Drain what did not fit so the child never blocks on a full pipe.
            char scrap[512];
            while (fread(scrap, 1, sizeof scrap, pipe) > 0) {
            }
            Log("%d: %s\n", static_cast<int>(count), dest);
            *size = static_cast<int>(count);
            rc = pclose(pipe);
        }
    }
    return rc;
}

ExecRunnerFn execRunner = RealExec;

}  // namespace

int Exec(char* dest, int* size, const char* cmd) {
    return ExecShown(dest, size, cmd, cmd);
}

int ExecShown(char* dest, int* size, const char* cmd, const char* shown) {
    const int rc = execRunner(dest, size, cmd);
    Log("Exec=%d: %s\n", rc, shown ? shown : cmd);
    return rc;
}

void SetExecRunner(ExecRunnerFn runner) {
    execRunner = runner ? runner : RealExec;
}

int ShellEscape(char* dest, size_t cap, const char* src) {
    if (IsNull(dest) || cap == 0) return -1;
    size_t n = 0;
    for (const char* p = src ? src : ""; *p != '\0'; ++p) {
        bool special = *p == '$' || *p == '`' || *p == '"' || *p == '\\';
        if (n + (special ? 2 : 1) >= cap) {
            dest[0] = '\0';
            return -1;
        }
        if (special) dest[n++] = '\\';
        dest[n++] = *p;
    }
    dest[n] = '\0';
    return static_cast<int>(n);
}
