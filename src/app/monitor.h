// The state monitor: announces the daemon, then once a second watches the
// processor and the network devices and carries out queued requests.
#pragma once

#include "common/public.h"
#include "link/link.h"
#include "network/netwatch.h"

// One processor reply as the monitor fetches and stores it (up to 2047
// characters and the NUL); the stores hold a whole reply.
constexpr int kMonitorReplySize = 2048;

// The monitor thread's private memory.
struct MonitorState {
    uchar diracState = 255;  // last processor state seen; 255: none yet
    uchar oldState = 255;    // the previous one, during a change
    bool firstRun = true;    // the first-run actions are still due
    unsigned long firstRunTick = 0;
    int checkActiveSlot = 0;  // passes since the last active-slot fetch
    int checkGain = 0;        // passes since the last gain fetch
    char activeSlotData[kMonitorReplySize] = {};
    char filteringData[kMonitorReplySize] = {};
    char gainData[kMonitorReplySize] = {};
    NetWatchState net;
};

// Thread entry; data is the TtyData*. Runs for the life of the process (a
// lost line is waited for, never the end).
void* doCheckState(void* data);
// One pass; returns the milliseconds to sleep after it (0 after a pass that
// carried out a queued request).
int doMonitorPass(TtyData* data, MonitorState* st);
