#include "app/monitor.h"

#include <cstdio>
#include <cstring>

#include "common/config.h"
#include "common/log.h"
#include "common/service.h"
#include "device/identity.h"
#include "network/nm.h"
#include "processor/filters.h"
#include "processor/gain.h"
#include "processor/http.h"
#include "processor/speaker.h"
#include "shell/exec.h"

namespace {

constexpr const char* kConnectedFile = "/tmp/dirac/connected";
constexpr const char* kSpeakerFile = "/tmp/dirac/speaker.json";
constexpr int kPassMs = 1000;
constexpr int kFetchEvery = 3;  // a counter above this many passes fetches
// How long past the command deadline one frame's handler may run, and how
// long the main loop may leave a probe waiting, before the pings stop.
constexpr unsigned long kHandlerMarginMs = 5000;
constexpr unsigned long kLoopAnswerMs = 5000;

bool HasJson(const char* reply) {
    return strchr(reply, '{') != nullptr;
}

// Stores a reply when it contains JSON and differs from the stored copy;
// true when it did. The raw texts are compared: nothing is parsed here.
bool StoreIfChanged(char* stored, const char* reply) {
    if (!HasJson(reply) || strcmp(stored, reply) == 0) return false;
    snprintf(stored, kMonitorReplySize, "%s", reply);
    return true;
}

// Counts a pass; true on every fourth, which then fetches.
bool IsFetchDue(int* counter) {
    if (*counter < kFetchEvery) {
        ++*counter;
        return false;
    }
    *counter = 0;
    return true;
}

void doFirstRun(TtyData* data, MonitorState* st) {
    st->firstRunTick = TickCount();
    st->firstRun = false;
    SleepMs(100);
    doReportDiracFilterNum(data, kReportAddr);
    // Only a gain at or below 0 dB is imposed; the value is whole dB already.
    if (DIRAC_DEFAULT_GAIN <= 0) {
        SleepMs(100);
        PutHttp(nullptr, 0, "/api/speaker", "gain", DIRAC_DEFAULT_GAIN);
    }
    SleepMs(200);
    SendPayload(data, kReportAddr, GET_SPEAKER_CONFIG, sizeof GET_SPEAKER_CONFIG);
    Log("FirstRun: %u time=%d\n", static_cast<unsigned>(st->firstRunTick),
        static_cast<int>(TickCount() - st->firstRunTick));
}

// Playback started: the processor may have come up with a gain of its own,
// so the one saved in its settings file is put back.
void doGainRestore(TtyData* data, MonitorState* st) {
    if (FileExist(kSpeakerFile)) {
        JsonPtr settings(LoadJsonObject(kSpeakerFile));
        const int gain = GetJsonObjectValue(settings.get(), "gain", kDiracDefaultGainDb);
        Log("Reset zel gain to %d\n", gain);
        PutHttp(nullptr, 0, "/api/speaker", "gain", gain);
        settings.reset();
        SleepMs(200);
    }
    doDiracMainVolGet(data, kReportAddr);
    st->checkGain = 0;
}

void doProcessorStateChange(TtyData* data, MonitorState* st, uchar state) {
    st->oldState = st->diracState;
    st->diracState = state;
    Log("DiracState: %d\n", state);
    doReportDiracState(data, state, 0xFF, kReportAddr);
    if (st->firstRun && state == kDiracStateReady) {
        doFirstRun(data, st);
    } else if (st->oldState == kDiracStatePlaying && state == kDiracStateReady) {
        doReportDiracFilterNum(data, kReportAddr);
    } else if (st->oldState == kDiracStateReady && state == kDiracStatePlaying) {
        doGainRestore(data, st);
    }
}

// State 1, unchanged: the active slot, and when it is unchanged the
// filtering switch, every fourth pass while the processor is connected.
void doFilterWatch(TtyData* data, MonitorState* st) {
    if (!FileExist(kConnectedFile)) {
        if (st->activeSlotData[0] != '\0') {
            st->activeSlotData[0] = '\0';
            st->filteringData[0] = '\0';
            doReportDiracFilterNum(data, kReportAddr);
        }
        return;
    }
    if (!IsFetchDue(&st->checkActiveSlot)) return;
    char buffer[kMonitorReplySize] = {};
    GetHttp(buffer, sizeof buffer, "/api/active-slot");
    if (!HasJson(buffer)) return;
    bool filterChanged = StoreIfChanged(st->activeSlotData, buffer);
    if (!filterChanged) {
        memset(buffer, 0, sizeof buffer);
        GetHttp(buffer, sizeof buffer, "/api/filtering");
        filterChanged = StoreIfChanged(st->filteringData, buffer);
    }
    if (filterChanged) doReportDiracFilterNum(data, kReportAddr);
}

// State 3, unchanged: the speaker gain every fourth pass; only a changed
// reply is parsed and reported.
void doGainWatch(TtyData* data, MonitorState* st) {
    if (!IsFetchDue(&st->checkGain)) return;
    char buffer[kMonitorReplySize] = {};
    GetHttp(buffer, sizeof buffer, "/api/speaker");
    if (!StoreIfChanged(st->gainData, buffer)) return;
    doDiracGetGain(data, ToJsonObject(st->gainData), kReportAddr, true);
}

// The slow requests the receive thread queued; true when one was served.
bool doQueuedRequests(TtyData* data) {
    bool served = doCheckDiracGain(data) > 0;
    if (doCheckSpeakerConfig(data) > 0) served = true;
    return served;
}

// The watchdog hears from the daemon only while every worker makes
// progress: this thread has just finished a pass, the receive thread waits
// for bytes or is inside one handler for less than the command deadline and
// the margin, and the main loop serves what it is given. A wedged worker
// stops the pings and the service manager restarts the daemon.
void doWatchdogPass() {
    if (GetServiceWatchdogMs() == 0) return;
    const bool receiving =
        IsStepInTime(TickCount(), GetHandlerSince(),
                     static_cast<unsigned long>(GetExecDeadlineMs()) + kHandlerMarginMs);
    const bool looping = NmIsLoopAnswering(kLoopAnswerMs);
    if (receiving && looping) ServiceWatchdogPing();
}

}  // namespace

int doMonitorPass(TtyData* data, MonitorState* st) {
    int sleepTime = kPassMs;
    const uchar state = GetDiracState();
    if (state != st->diracState) {
        doProcessorStateChange(data, st, state);
    } else if (state == kDiracStateReady) {
        doFilterWatch(data, st);
    } else if (state == kDiracStatePlaying) {
        doGainWatch(data, st);
    }

    // --- Network watches: WiFi device, wired device, LAN reset timer. ---
    doNetWatch(data, &st->net);

    if (doQueuedRequests(data)) sleepTime = 0;
    return sleepTime;
}

void* doCheckState(void* arg) {
    auto* data = static_cast<TtyData*>(arg);
    MonitorState st;
    doReportRever(data, kReportAddr);
    SleepMs(100);
    doReportRedate(data, kReportAddr);
    // The line is open and both workers run.
    ServiceReady(data->device);
    // For the life of the process, whatever the line's descriptor (a lost
    // line is -1 until it is reopened).
    for (;;) {
        const int sleepTime = doMonitorPass(data, &st);
        doWatchdogPass();
        if (sleepTime > 0) SleepMs(static_cast<unsigned>(sleepTime));
    }
    return arg;
}
