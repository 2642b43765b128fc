// Cost of one command run: the daemon's runner (own process group, pipe,
// deadline) beside plain popen, both on "/bin/sh -c true" with a capture.
// Prints milliseconds per run; no pass or fail.
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "shell/exec.h"

namespace {

double NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

int RunPopen(const char* cmd) {
    FILE* pipe = popen(cmd, "re");
    if (pipe == nullptr) return -1;
    char out[512];
    while (fread(out, 1, sizeof out, pipe) > 0) {
    }
    return pclose(pipe);
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = argc > 1 ? atoi(argv[1]) : 500;
    if (freopen("/dev/null", "w", stdout) == nullptr) return 1;  // Exec's log lines
    double t0 = NowMs();
    for (int i = 0; i < runs; ++i) RunPopen("true");
    const double popenMs = (NowMs() - t0) / runs;
    t0 = NowMs();
    for (int i = 0; i < runs; ++i) {
        char out[512];
        int size = sizeof out;
        Exec(out, &size, "true");
    }
    const double execMs = (NowMs() - t0) / runs;
    fprintf(stderr, "runs=%d popen=%.3f ms Exec=%.3f ms per run\n", runs, popenMs, execMs);
    return 0;
}
