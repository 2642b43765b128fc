#include "processor/speaker.h"

#include <cstdio>

#include "common/config.h"
#include "common/log.h"
#include "processor/filters.h"
#include "processor/locked.h"
#include "shell/exec.h"
#include "shell/script.h"

namespace {

constexpr int kLabelAreaSize = 4096;

}  // namespace

int doSpeakerLayoutMessage(TtyData*, const uchar* cmd, int size) {
    if (IsNull(cmd) || size != 5 || cmd[0] != 0x06 || cmd[1] != 0x23 || cmd[2] != 0x02) return -1;
    const uchar code = cmd[3];
    const int lfe = cmd[4];
    int speakers[2] = {0, 0};
    char label[kLabelAreaSize] = "";
    GetSpConfigText(label, sizeof label, speakers, code, lfe);
    Log("SpConfig: %d(0x%02X) %d.%d.%d %s\n", code, code, speakers[0], lfe, speakers[1], label);
    return SetSpeakerInfos(speakers[0], speakers[1], lfe);
}

int SpeakerInfos[3] = {0, 0, 0};

int SetSpeakerInfos(int x, int z, int lfe) {
    int queued[3] = {0, 0, 0};
    WithLock(&StateMutex, [&] {
        queued[0] = SpeakerInfos[0];
        queued[1] = SpeakerInfos[1];
        queued[2] = SpeakerInfos[2];
        SpeakerInfos[0] = x;
        SpeakerInfos[1] = z;
        SpeakerInfos[2] = lfe;
    });
    if (queued[0] > 0) {
        Log("SpeakerConfig: %d.%d.%d -> %d.%d.%d\n", queued[0], queued[2], queued[1], x, lfe, z);
    }
    return 1;
}

int doSpeakerConfig(TtyData* ttyData, const int* speakers, int lfe) {
    const int x = Assigned(speakers) ? speakers[0] : 0;
    const int z = Assigned(speakers) ? speakers[1] : 0;
    char line[kCommandLineSize];
    int rc = -1;
    if (FormatSpConfigLine(line, sizeof line, x, lfe, z) >= 0) rc = Exec(nullptr, nullptr, line);
    // The processor reloads its filters for the new layout; report them after.
    SleepMs(1000);
    doReportDiracFilterNum(ttyData, kReportAddr);
    return rc;
}

int doCheckSpeakerConfig(TtyData* ttyData) {
    int layout[3] = {0, 0, 0};
    WithLock(&StateMutex, [&] {
        if (SpeakerInfos[0] > 0) {
            layout[0] = SpeakerInfos[0];
            layout[1] = SpeakerInfos[1];
            layout[2] = SpeakerInfos[2];
            SpeakerInfos[0] = 0;
        }
    });
    if (layout[0] <= 0) return 0;
    doSpeakerConfig(ttyData, layout, layout[2]);
    return 1;
}

int doAudioInfoReport(TtyData*, uchar, const uchar* cmd, int size) {
    const uchar code = (Assigned(cmd) && size > 2) ? cmd[2] : 0;
    const int rate = GetSampleRate(static_cast<SamplingFreq_t>(code));
    Log("AudioInfoReport: SamplingFreq=%d SampleRate=%d\n", code, rate);
    if (rate <= 0) return -1;
    char line[kCommandLineSize];
    if (FormatSampleRateLine(line, sizeof line, rate) < 0) return -1;
    return Exec(nullptr, nullptr, line);
}
