#include "app/dispatch.h"

#include <array>
#include <cstring>
#include <variant>

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

// The shapes a row's handler comes in. Most are called straight from the
// table: with the reply address alone, with the payload from the row's
// bodyAt on, or with the row's interface name as well. A RowAction (the
// whole payload) does what one call does not: several steps, a log line
// first, a second size check.
typedef void (*RowAction)(TtyData* data, uchar replyAddr, const uchar* cmd, int size);
typedef int (*AddrFn)(TtyData* data, uchar addr);
typedef int (*BodyFn)(TtyData* data, uchar addr, const uchar* body, int size);
typedef int (*IfaceFn)(TtyData* data, uchar addr, const char* iface);
typedef int (*IfaceBodyFn)(TtyData* data, uchar addr, const uchar* body, int size,
                           const char* iface);
using Handler = std::variant<RowAction, AddrFn, BodyFn, IfaceFn, IfaceBodyFn>;

struct CommandRow {
    std::array<uchar, 4> match;
    int matchSize;  // how many of match's bytes must equal the payload's
    int exactSize;  // > 0: the payload must have exactly this length
    int minSize;    // bytes the handler reads; a shorter payload is dumped as short
    Handler handler;
    int bodyAt = 0;               // BodyFn, IfaceBodyFn: where the body starts
    const char* iface = nullptr;  // IfaceFn, IfaceBodyFn
};

template <typename... Fn>
struct Overloaded : Fn... {
    using Fn::operator()...;
};
template <typename... Fn>
Overloaded(Fn...) -> Overloaded<Fn...>;

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
    if ((sub == 0x0B || sub == 0x14) && IsShortCommand(cmd, size, 5)) return;
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

void AudioReset(TtyData* data, uchar addr, const uchar*, int) {
    Log("zel resetting...\n");
    RunScriptAction("zel_reset");
    SendPayload(data, addr, CMD_ZEL_RESET, sizeof CMD_ZEL_RESET);
}

void DeviceInfo(TtyData* data, uchar addr, const uchar* cmd, int size) {
    if (!IsDeviceInfoComplete(cmd + 3, size - 3)) {
        DumpShortCommand(cmd, size);
        return;
    }
    doDevicInfoCompleted(data, addr, cmd + 3, size - 3);
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

// Rows in the order they are tried; the first that matches is carried out.
const CommandRow kRows[] = {
    {{0x06, 0x23, 0x02}, 3, 5, 5, RowAction{SpeakerLayout}},
    {{0x12, 0x01, 0x02, 0x00}, 4, 0, 4, RowAction{PowerOff}},
    {{0x05, 0x0B}, 2, 0, 2, AddrFn{doReportRever}},
    {{0x05, 0x0C}, 2, 0, 2, AddrFn{doReportRedate}},
    {{0x0C, 0x01}, 2, 0, 2, RowAction{SoftwareUpdate}},
    {{0x13, 0x01}, 2, 0, 3, RowAction{DiracStateCommand}},
    {{0x13, 0x02}, 2, 0, 3, RowAction{DiracFilterCommand}},
    {{0x13, 0x03, 0x00}, 3, 0, 3, RowAction{AudioReset}},
    {{0x13, 0x05, 0x02}, 3, 0, 5, RowAction{DeviceInfo}},
    {{0x13, 0x05, 0x05}, 3, 0, 3, AddrFn{doDiracUuidReport}},
    {{0x13, 0x06, 0x01}, 3, 0, 3, AddrFn{doDiracMainVolGet}},
    {{0x13, 0x06, 0x00}, 3, 0, 5, BodyFn{doDiracMainVolSet}, 3},
    {{0x02, 0x7E}, 2, 0, 2, BodyFn{doAudioInfoReport}, 2},
    {{0x02}, 1, 0, 1, RowAction{UnknownCommandMode}},
    {{0x10, 0x01, 0x01}, 3, 0, 3, AddrFn{doReportWifiList}},
    {{0x10, 0x01, 0x02}, 3, 0, 6, RowAction{WifiListPage}},
    {{0x10, 0x02, 0x00}, 3, 0, 4, IfaceBodyFn{doWifiConnect}, 3, WLAN_NAME},
    {{0x10, 0x02, 0x01}, 3, 0, 3, IfaceFn{doReportWifiConnect}, 0, WLAN_NAME},
    {{0x10, 0x03, 0x00}, 3, 0, 4, IfaceBodyFn{doLanConnect}, 3, ETH_NAME},
    {{0x10, 0x03, 0x01}, 3, 0, 3, IfaceFn{doReportLanConnect}, 0, ETH_NAME},
    {{0x10, 0x04, 0x01}, 3, 0, 3, IfaceFn{NmSendWiFiMac}, 0, WLAN_NAME},
    {{0x10, 0x05, 0x01}, 3, 0, 3, AddrFn{doReportDateTime}},
    {{0x10, 0x05, 0x0B}, 3, 0, 13, BodyFn{doSetDateTime}, 3},
};

void Run(const CommandRow& row, TtyData* data, uchar addr, const uchar* cmd, int size) {
    const uchar* body = cmd + row.bodyAt;
    const int bodySize = size - row.bodyAt;
    std::visit(Overloaded{[&](RowAction fn) { fn(data, addr, cmd, size); },
                          [&](AddrFn fn) { fn(data, addr); },
                          [&](BodyFn fn) { fn(data, addr, body, bodySize); },
                          [&](IfaceFn fn) { fn(data, addr, row.iface); },
                          [&](IfaceBodyFn fn) { fn(data, addr, body, bodySize, row.iface); }},
               row.handler);
}

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
        if (!IsShortCommand(cmd, size, row.minSize)) Run(row, data, replyAddr, cmd, size);
        return 0;
    }
    if (!IsKnownMode(cmd[0])) {
        printHex("Unknown command: ", cmd, size);
    }
    return 0;
}
