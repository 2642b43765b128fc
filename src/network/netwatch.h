// The network watches inside the state monitor's pass: WiFi and wired device
// state changes and the LAN reset timer.
#pragma once

#include <nm-dbus-interface.h>

#include "link/link.h"

// Private to the monitor thread; lives as long as it.
struct NetWatchState {
    NMDeviceState wlanState = NM_DEVICE_STATE_UNKNOWN;  // last WiFi state seen
    NMDeviceState ethState = NM_DEVICE_STATE_UNKNOWN;   // last wired state seen
    unsigned long autoResetLanTick = 0;  // when the LAN reset timer was armed; 0 = not armed
    int autoResetLanTime = 0;            // seconds the armed timer waits
    int autoResetLanCount = 0;           // resets still allowed in this episode
    unsigned ethDownSwitches = 0;  // the LAN switch count when the link was last seen not active
};

// One turn of the WiFi watch, the wired watch and the LAN reset timer.
// Each device query and report is one call on the main loop.
void doNetWatch(TtyData* data, NetWatchState* state);

// The LAN reset timer's rules, pure (times in TickCount milliseconds):
// the wired device moved from state->ethState to newState; arms the timer
// on a drop from the activated state while the LAN is enabled and the
// reset is configured, disarms it on activation. True when it armed.
bool UpdateLanReset(NetWatchState* state, NMDeviceState newState, bool lanEnabled,
                    unsigned long now);
// True when the armed timer has run out at now (*elapsed: ms since armed);
// then re-armed with twice the configured time while resets remain.
bool IsLanResetDue(NetWatchState* state, unsigned long now, int* elapsed);
