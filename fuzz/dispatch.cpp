// Fuzz target: handleCommand with arbitrary payloads. Every handler runs
// against a canned control script whose replies come from the input too;
// the line is a pipe drained after each request. No NetworkManager client:
// every network query takes its null path.
//
// Input: address, payload length (2 bytes, big-endian), payload, then the
// script replies (see FuzzInstallScript).
//
// Checks, besides what ASan and UBSan see:
// - everything sent is whole frames with good checksums, each to the
//   request's reply address, with a fresh non-zero id;
// - no shell line lets MCU text out of its quotes.
#include "app/dispatch.h"

#include <pthread.h>

#include "common/config.h"
#include "fuzz_support.h"
#include "link/frame.h"
#include "processor/gain.h"

namespace {

TestLine line;

void CheckReplies(uchar replyAddr) {
    for (const WireFrame& f : FuzzSent(&line)) {
        if (f.addr != replyAddr) FuzzFail("reply to %02X, expected %02X", f.addr, replyAddr);
        if (f.id == 0) FuzzFail("reply with id 0");
        if (f.payload.empty()) FuzzFail("empty reply frame");
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzQuietLog();
    OpenTestLine(&line);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size, 0};
    const uchar addr = TakeByte(&in);
    const size_t want = static_cast<size_t>(TakeShort(&in)) % (kLongPayloadMax + 1);
    // The payload in a buffer of its own size, as the reader's frame would
    // end there for ASan.
    std::string payload = TakeBytes(&in, want);
    std::vector<uchar> cmd(payload.begin(), payload.end());
    FuzzInstallScript(&in);
    ClearScriptCalls();

    handleCommand(&line.tty, addr, 1, cmd.empty() ? nullptr : cmd.data(),
                  static_cast<int>(cmd.size()));
    CheckReplies(GetSendAddr(addr));
    // A queued main volume is carried out as the monitor's pass would.
    doCheckDiracGain(&line.tty);
    CheckReplies(GetSendAddr(addr));
    return 0;
}
