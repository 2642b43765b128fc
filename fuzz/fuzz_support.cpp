#include "fuzz_support.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/config.h"
#include "link/frame.h"

void FuzzFail(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    fputs("FUZZ CHECK FAILED: ", stderr);
    vfprintf(stderr, fmt, ap);
    fputc('\n', stderr);
    va_end(ap);
    abort();
}

void FuzzQuietLog() {
    DiscardLog();
    IsDebug = 0;
    IsQZ = true;
}

std::vector<WireFrame> FuzzSent(TestLine* line) {
    std::string error;
    std::vector<WireFrame> frames = SentFrames(line, &error);
    if (!error.empty()) FuzzFail("sent bytes: %s", error.c_str());
    return frames;
}

// ---- the fuzz input ----

uchar TakeByte(FuzzInput* in) {
    return in->pos < in->size ? in->data[in->pos++] : 0;
}

int TakeShort(FuzzInput* in) {
    int hi = TakeByte(in);
    return hi * 256 + TakeByte(in);
}

std::string TakeBytes(FuzzInput* in, size_t size) {
    size_t n = in->size - in->pos < size ? in->size - in->pos : size;
    std::string out(reinterpret_cast<const char*>(in->data + in->pos), n);
    in->pos += n;
    return out;
}

// ---- the canned control script ----

namespace {

FuzzInput* scriptInput = nullptr;
std::vector<ScriptCall> calls;

// What pclose gives for each status byte.
int StatusOf(uchar code) {
    switch (code) {
        case 1:
            return 1 << 8;  // exit 1
        case 2:
            return -1;  // could not start
        case 3:
            return 9;  // killed by SIGKILL
        default:
            return 0;
    }
}

// The reply of each captured run comes from the input.
int CannedReply(const std::string& line, bool captured, std::string* output) {
    CheckShellLine(line);
    calls.push_back({line, captured, 0, ""});
    if (!captured) return 0;
    ScriptCall& call = calls.back();
    if (scriptInput == nullptr || scriptInput->pos >= scriptInput->size) return call.status = 1 << 8;
    call.status = StatusOf(TakeByte(scriptInput));
    *output = TakeBytes(scriptInput, static_cast<size_t>(TakeShort(scriptInput)));
    if (call.status == -1) return -1;  // popen failed: nothing written
    call.reply = *output;
    return call.status;
}

}  // namespace

void FuzzInstallScript(FuzzInput* in) {
    scriptInput = in;
    InstallRecorder(CannedReply);
}

const std::vector<ScriptCall>& ScriptCalls() {
    return calls;
}
void ClearScriptCalls() {
    calls.clear();
}

void CheckShellLine(const std::string& line) {
    enum { kPlain, kDouble, kSingle } state = kPlain;
    const size_t n = line.size();
    for (size_t i = 0; i < n; ++i) {
        const char c = line[i];
        if (state == kSingle) {
            if (c == '\'') state = kPlain;
            continue;
        }
        if (c == '\\') {
            if (i + 1 >= n) FuzzFail("line ends in a backslash: %s", line.c_str());
            ++i;
            continue;
        }
        if (c == '$' || c == '`') FuzzFail("unescaped %c in: %s", c, line.c_str());
        if (state == kDouble) {
            if (c == '"') state = kPlain;
            continue;
        }
        if (c == '"') {
            state = kDouble;
        } else if (c == '\'') {
            state = kSingle;
        } else if (c == '&' && i + 1 == n && i > 0 && line[i - 1] == ' ') {
            // the one background marker at the end
        } else if (strchr(";|<>()&\n\r", c) != nullptr) {
            FuzzFail("shell operator %c outside quotes in: %s", c, line.c_str());
        }
    }
    if (state != kPlain) FuzzFail("unterminated quote in: %s", line.c_str());
}
