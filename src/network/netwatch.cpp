#include "network/netwatch.h"

#include <algorithm>

#include "common/config.h"
#include "common/log.h"
#include "network/connections.h"
#include "network/nm.h"

namespace {

constexpr unsigned kMacPauseMs = 300;
constexpr const char* kLanResetAction = "reset";

typedef int (*IfaceReportFn)(TtyData* data, uchar addr, const char* iface);

void LogStateChange(const char* iface, NMDeviceState from, NMDeviceState to) {
    Log("%s state: %s --> %s\n", iface, GetDeviceStateText(from), GetDeviceStateText(to));
}

// The device went away (NetworkManager stopped, adapter unplugged): the MCU
// hears that the link is gone, and the device counts as new when it is
// back, so it is reported again in full.
void ForgetDevice(TtyData* data, const char* iface, NMDeviceState* last, IfaceReportFn report) {
    if (*last == NM_DEVICE_STATE_UNKNOWN) return;
    LogStateChange(iface, *last, NM_DEVICE_STATE_UNKNOWN);
    report(data, kReportAddr, iface);
    *last = NM_DEVICE_STATE_UNKNOWN;
}

void WatchWifi(TtyData* data, NetWatchState* st) {
    bool present = false;
    NMDeviceState state = NmGetDeviceStateIface(WLAN_NAME, &present);
    if (!present) {
        ForgetDevice(data, WLAN_NAME, &st->wlanState, doReportWifiConnect);
        return;
    }
    if (st->wlanState == NM_DEVICE_STATE_UNKNOWN) {
        NmSendWiFiMac(data, kReportAddr, WLAN_NAME);
        SleepMs(kMacPauseMs);
    }
    if (state != st->wlanState) {
        LogStateChange(WLAN_NAME, st->wlanState, state);
        doReportWifiConnect(data, kReportAddr, WLAN_NAME);
        st->wlanState = state;
    }
}

void WatchLan(TtyData* data, NetWatchState* st) {
    bool present = false;
    const unsigned switches = GetLanSwitchCount();
    NMDeviceState state = NmGetDeviceStateIface(ETH_NAME, &present);
    if (!present || state != NM_DEVICE_STATE_ACTIVATED) st->ethDownSwitches = switches;
    if (!present) {
        ForgetDevice(data, ETH_NAME, &st->ethState, doReportLanConnect);
        return;
    }
    if (state == st->ethState) return;
    LogStateChange(ETH_NAME, st->ethState, state);
    doReportLanConnect(data, kReportAddr, ETH_NAME);
    if (state == NM_DEVICE_STATE_ACTIVATED) SetLanEnabledUnlessSwitched(st->ethDownSwitches);
    if (UpdateLanReset(st, state, IsLanEnabled(), TickCount())) {
        Log("ResetLan: %s will be reset in %d seconds!\n", ETH_NAME, AutoResetLanTime);
    }
    st->ethState = state;
}

void RunLanResetTimer(NetWatchState* st) {
    int elapsed = 0;
    if (!IsLanResetDue(st, TickCount(), &elapsed)) return;
    Log("ResetLan: time=%d\n", elapsed);
    doNet(ETH_NAME, kLanResetAction);
}

}  // namespace

bool UpdateLanReset(NetWatchState* st, NMDeviceState newState, bool lanEnabled, unsigned long now) {
    if (newState == NM_DEVICE_STATE_ACTIVATED) {
        st->autoResetLanTick = 0;
        return false;
    }
    if (!lanEnabled || AutoResetLanTime <= 0 || st->ethState != NM_DEVICE_STATE_ACTIVATED) {
        return false;
    }
    st->autoResetLanCount = AutoResetLanMaxCount;
    st->autoResetLanTime = AutoResetLanTime;
    st->autoResetLanTick = std::max(now, 1UL);  // 0 means "not armed"
    return true;
}

bool IsLanResetDue(NetWatchState* st, unsigned long now, int* elapsed) {
    if (st->autoResetLanTick == 0) return false;
    const int time = static_cast<int>(static_cast<uint32_t>(now - st->autoResetLanTick));
    if (time < st->autoResetLanTime * 1000 / static_cast<int>(TestTimeDivisor)) return false;
    if (elapsed) *elapsed = time;
    st->autoResetLanCount -= 1;
    if (st->autoResetLanCount > 0) {
        st->autoResetLanTick = std::max(now, 1UL);
        st->autoResetLanTime = 2 * AutoResetLanTime;
    } else {
        st->autoResetLanTick = 0;
    }
    return true;
}

void doNetWatch(TtyData* data, NetWatchState* state) {
    WatchWifi(data, state);
    WatchLan(data, state);
    RunLanResetTimer(state);
}
