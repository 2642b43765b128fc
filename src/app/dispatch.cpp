#include "app/dispatch.h"

#include <array>
#include <cstring>

#include "common/config.h"
#include "common/log.h"
#include "device/clock.h"
#include "device/identity.h"
#include "link/byteorder.h"
#include "network/connections.h"
#include "network/wifi.h"
#include "processor/filters.h"
#include "processor/gain.h"
#include "processor/speaker.h"
#include "shell/exec.h"
#include "shell/script.h"

namespace {

// A row's action gets the reply address (already swapped) and the whole payload.
typedef void (*RowAction)(TtyData* data, uchar replyAddr, const uchar* cmd, int size);

struct CommandRow {
    std::array<uchar, 4> match;
    int matchSize;     // how many of match's bytes must equal the payload's
    int exactSize;     // > 0: the payload must have exactly this length
    int minSize;       // bytes the action reads; a shorter payload is dumped as short
    RowAction action;  // null: the handler has not landed yet, dropped silently
};

// Device actions may rightly run long: they are never killed.
void RunScriptAction(const char* action) {
    char line[kCommandLineSize];
    if (FormatScriptActionLine(line, sizeof line, action) >= 0) ExecDeviceAction(line);
}

void SpeakerLayout(TtyData* data, uchar, const uchar* cmd, int size) {
    doSpeakerLayoutMessage(data, cmd, size);
}

void PowerOff(TtyData*, uchar, const uchar*, int) {
    ExecDeviceAction("poweroff");
}

void Version(TtyData* data, uchar addr, const uchar*, int) {
    doReportRever(data, addr);
}
void BuildDate(TtyData* data, uchar addr, const uchar*, int) {
    doReportRedate(data, addr);
}

void SoftwareUpdate(TtyData*, uchar, const uchar*, int) {
    Log("Program updating...\n");
    RunScriptAction("update exec");
}

void DiracStateCommand(TtyData* data, uchar addr, const uchar* cmd, int) {
    Log("dirac state command: %d\n", cmd[2]);
    if (cmd[2] == 0x01) doReportDiracState(data, GetDiracState(), 0xFF, addr);
}

// Rows 7a to 7d: the filter sub-functions; 0x0B and 0x14 read bytes 3 and 4.
void DiracFilterCommand(TtyData* data, uchar addr, const uchar* cmd, int size) {
    Log("dirac filter command: %d\n", cmd[2]);
    const uchar sub = cmd[2];
    if ((sub == 0x0B || sub == 0x14) && size < 5) {
        printHex("Short command: ", cmd, size);
        return;
    }
    switch (sub) {
        case 0x01:
            doReportDiracFilterNum(data, addr);
            break;
        case 0x0B:
            doReportDiracFilterInfo(data, addr, cmd[4]);
            break;
        case 0x15:
            doReportDiracFilterCurrInfo(data, addr);
            break;
        case 0x14:
            doReportDiracFilterSetCurrInfo(data, addr, cmd[3], cmd[4]);
            break;
        default:
            break;
    }
}

void MainVolGet(TtyData* data, uchar addr, const uchar*, int) {
    doDiracMainVolGet(data, addr);
}

void MainVolSet(TtyData* data, uchar addr, const uchar* cmd, int size) {
    doDiracMainVolSet(data, addr, cmd + 3, size - 3);
}

void AudioInfo(TtyData* data, uchar addr, const uchar* cmd, int size) {
    doAudioInfoReport(data, addr, cmd + 2, size - 2);
}

void AudioReset(TtyData* data, uchar addr, const uchar*, int) {
    char line[kCommandLineSize];
    if (FormatScriptActionLine(line, sizeof line, "zel_reset") < 0) line[0] = '\0';
    Log("zel resetting...\n");
    if (line[0] != '\0') ExecDeviceAction(line);
    SendPayload(data, addr, CMD_ZEL_RESET, sizeof CMD_ZEL_RESET);
}

void DeviceInfo(TtyData* data, uchar addr, const uchar* cmd, int size) {
    if (!IsDeviceInfoComplete(cmd + 3, size - 3)) {
        printHex("Short command: ", cmd, size);
        return;
    }
    doDevicInfoCompleted(data, addr, cmd + 3, size - 3);
}

void DiracUuid(TtyData* data, uchar addr, const uchar*, int) {
    doDiracUuidReport(data, addr);
}

void UnknownCommandMode(TtyData*, uchar, const uchar* cmd, int size) {
    printHex("Unknown COMMAND_MODE: ", cmd, size);
}

// A WiFi list page sent by the MCU is only logged.
void WifiListPage(TtyData*, uchar, const uchar* cmd, int size) {
    Log("Received WiFiList: count=%d page=%d/%d:\n", cmd[3], cmd[4], cmd[5]);
    WalkWifiPage(cmd, size, [cmd](int e, int len) {
        char bssid[18];
        ToHexText(bssid, cmd + e + 5, 6, ':');
        char name[256];
        const int nameLen = static_cast<int>(
            strnlen(reinterpret_cast<const char*>(cmd + e + 11), static_cast<size_t>(len - 11)));
        memcpy(name, cmd + e + 11, static_cast<size_t>(nameLen));
        name[nameLen] = '\0';
        Log("%2d(%d). %3d%% %d %3d %s %s\n", cmd[e + 1], len, cmd[e + 2], cmd[e + 3], cmd[e + 4],
            bssid, name);
    });
}

void WifiList(TtyData* data, uchar addr, const uchar*, int) {
    doReportWifiList(data, addr);
}

void WifiConnect(TtyData* data, uchar addr, const uchar* cmd, int size) {
    doWifiConnect(data, addr, cmd + 3, size - 3, WLAN_NAME);
}

void WifiReport(TtyData* data, uchar addr, const uchar*, int) {
    doReportWifiConnectIface(data, addr, WLAN_NAME);
}

void LanSwitch(TtyData* data, uchar addr, const uchar* cmd, int size) {
    doLanConnect(data, addr, cmd + 3, size - 3, ETH_NAME);
}

void LanReport(TtyData* data, uchar addr, const uchar*, int) {
    doReportLanConnectIface(data, addr, ETH_NAME);
}

void WifiMac(TtyData* data, uchar addr, const uchar*, int) {
    NmSendWiFiMacIface(data, addr, WLAN_NAME);
}
void DateTime(TtyData* data, uchar addr, const uchar*, int) {
    doReportDateTime(data, addr);
}

void SetDateTime(TtyData* data, uchar addr, const uchar* cmd, int size) {
    doSetDateTime(data, addr, cmd + 3, size - 3);
}

// Rows in the order they are tried; the first that matches is carried out.
const CommandRow kRows[] = {
    {{0x06, 0x23, 0x02}, 3, 5, 5, SpeakerLayout},
    {{0x12, 0x01, 0x02, 0x00}, 4, 0, 4, PowerOff},
    {{0x05, 0x0B}, 2, 0, 2, Version},
    {{0x05, 0x0C}, 2, 0, 2, BuildDate},
    {{0x0C, 0x01}, 2, 0, 2, SoftwareUpdate},
    {{0x13, 0x01}, 2, 0, 3, DiracStateCommand},
    {{0x13, 0x02}, 2, 0, 3, DiracFilterCommand},
    {{0x13, 0x03, 0x00}, 3, 0, 3, AudioReset},
    {{0x13, 0x05, 0x02}, 3, 0, 5, DeviceInfo},
    {{0x13, 0x05, 0x05}, 3, 0, 3, DiracUuid},
    {{0x13, 0x06, 0x01}, 3, 0, 3, MainVolGet},
    {{0x13, 0x06, 0x00}, 3, 0, 5, MainVolSet},
    {{0x02, 0x7E}, 2, 0, 2, AudioInfo},
    {{0x02}, 1, 0, 1, UnknownCommandMode},
    {{0x10, 0x01, 0x01}, 3, 0, 3, WifiList},
    {{0x10, 0x01, 0x02}, 3, 0, 6, WifiListPage},
    {{0x10, 0x02, 0x00}, 3, 0, 4, WifiConnect},
    {{0x10, 0x02, 0x01}, 3, 0, 3, WifiReport},
    {{0x10, 0x03, 0x00}, 3, 0, 4, LanSwitch},
    {{0x10, 0x03, 0x01}, 3, 0, 3, LanReport},
    {{0x10, 0x04, 0x01}, 3, 0, 3, WifiMac},
    {{0x10, 0x05, 0x01}, 3, 0, 3, DateTime},
    {{0x10, 0x05, 0x0B}, 3, 0, 13, SetDateTime},
};

bool Matches(const CommandRow& row, const uchar* cmd, int size) {
    if (row.exactSize > 0 && size != row.exactSize) return false;
    if (size < row.matchSize) return false;
    return memcmp(row.match.data(), cmd, static_cast<size_t>(row.matchSize)) == 0;
}

// Modes whose unnamed functions are dropped without a message.
bool IsKnownMode(uchar mode) {
    return mode == 0x05 || mode == 0x0C || mode == 0x13 || mode == 0x10;
}

}  // namespace

int handleCommand(TtyData* data, uchar addr, uchar, const uchar* cmd, int size) {
    if (IsNull(cmd) || size <= 0) return 0;
    const uchar replyAddr = GetSendAddr(addr);
    for (const CommandRow& row : kRows) {
        if (!Matches(row, cmd, size)) continue;
        if (size < row.minSize) {
            printHex("Short command: ", cmd, size);
        } else if (row.action != nullptr) {
            row.action(data, replyAddr, cmd, size);
        }
        return 0;
    }
    if (!IsKnownMode(cmd[0])) {
        printHex("Unknown command: ", cmd, size);
    }
    return 0;
}
