#include "processor/gain.h"

#include <cmath>

#include "common/config.h"
#include "common/log.h"
#include "link/byteorder.h"
#include "processor/http.h"
#include "processor/locked.h"

namespace {

constexpr int kSpeakerReplySize = 4096;
// Tenths of a dB travel as a signed 16-bit number.
constexpr double kMaxGainDb = 3276.0;

struct StateFile {
    const char* path;
    uchar state;
};
// Tried in this order; the first file that exists names the state.
constexpr StateFile kStateFiles[] = {
    {"/tmp/dirac/concord/concord_aplay.pid", kDiracStatePlaying},
    {"/tmp/dirac/concord/concord_cli.ipc", kDiracStateReady},
    {"/tmp/dirac/concord/capture.ipc", kDiracStateIdle},
};

}  // namespace

int ToGainDb(double gain) {
    if (!std::isfinite(gain)) gain = kDiracDefaultGainDb;
    if (gain > kMaxGainDb) gain = kMaxGainDb;
    if (gain < -kMaxGainDb) gain = -kMaxGainDb;
    return static_cast<int>(std::lround(gain));
}

int doDiracMainVolGet(TtyData* data, uchar addr) {
    char reply[kSpeakerReplySize];
    return doDiracGetGain(data, GetHttpJsonObject(reply, sizeof reply, "/api/speaker"), addr, true);
}

int doDiracGetGain(TtyData* data, JsonObject* speaker, uchar addr, bool autoFree) {
    const int gain = ToGainDb(GetJsonObjectDouble(speaker, "gain", kDiracDefaultGainDb));
    uchar payload[5] = {0x13, 0x06, 0x02};
    ShortToUChars(payload + 3, static_cast<short>(gain * 10));
    if (autoFree) FreeJsonObject(speaker);
    Log("doDiracMainVolGet: %d\n", gain);
    return SendPayload(data, addr, payload, sizeof payload);
}

int doDiracMainVolSet(TtyData*, uchar addr, const uchar* cmd, int size) {
    // The gain bytes must come from the frame itself.
    if (IsNull(cmd) || size < 2) return -1;
    const short gain = ToShort(cmd);
    Log("DiracMainVolSet: %d\n", gain / 10);
    return SetDiracGainInfo(addr, gain);
}

short DiracGainInfo[2] = {0, 0};

int SetDiracGainInfo(uchar addr, short gain) {
    short previous = 0;
    WithLock(&StateMutex, [&] {
        previous = DiracGainInfo[1];
        DiracGainInfo[0] = addr;
        DiracGainInfo[1] = gain;
    });
    Log("DiracGain: %d -> %d\n", previous, gain);
    return 1;
}

int doDiracGain(TtyData* data, uchar addr, short gain) {
    // Whole dB at the processor, truncated toward zero.
    PutHttp(nullptr, 0, "/api/speaker", "gain", gain / 10);
    return doDiracMainVolGet(data, addr);
}

int doCheckDiracGain(TtyData* data) {
    short addr = 0;
    short gain = 0;
    WithLock(&StateMutex, [&] {
        addr = DiracGainInfo[0];
        gain = DiracGainInfo[1];
        DiracGainInfo[0] = 0;
    });
    if (addr <= 0) return 0;
    doDiracGain(data, ToUChar(addr), gain);
    return 1;
}

uchar GetDiracState() {
    for (const StateFile& row : kStateFiles) {
        if (FileExist(row.path)) return row.state;
    }
    return kDiracStateNone;
}

int doReportDiracState(TtyData* data, uchar state, uchar code, uchar addr) {
    uchar payload[32] = {0x13, 0x01, 0x02, state, code};
    Log("DiracDiracState: state=%d code=%d\n", state, code);
    return SendPayload(data, addr, payload, state == kDiracStateNone ? 5 : 4);
}
