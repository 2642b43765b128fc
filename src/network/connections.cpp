#include "network/connections.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "common/config.h"
#include "common/format.h"
#include "common/log.h"
#include "link/byteorder.h"
#include "network/nm.h"
#include "network/wifi.h"
#include "shell/exec.h"
#include "shell/script.h"

namespace {

constexpr uchar kActionDisconnect = 2;
// The daemon joins the access point by its BSSID, the name only logged.
constexpr bool kBssidFirst = true;
constexpr uchar kWifiReportHeader[3] = {0x10, 0x02, 0x02};
constexpr uchar kLanReportHeader[3] = {0x10, 0x03, 0x02};
constexpr uchar kMacReportHeader[3] = {0x10, 0x04, 0x02};
// Room for an escaped name or password: every byte may gain a backslash.
constexpr size_t kEscapedSize = 2 * sizeof WifiConnectRequest::name + 1;

// A name or password field: its text up to the first zero within the
// field; a field shorter than 2 bytes is empty.
void CopyField(char* dest, const uchar* src, int length) {
    if (length < 2) return;
    const void* zero = memchr(src, 0, static_cast<size_t>(length));
    size_t n = zero ? static_cast<size_t>(static_cast<const uchar*>(zero) - src)
                    : static_cast<size_t>(length);
    memcpy(dest, src, n);
    dest[n] = '\0';
}

// One asterisk per character: what the log shows of a password.
void MaskPassword(char* password) {
    memset(password, '*', strlen(password));
}

int ExecLine(const char* line, int formatted) {
    return formatted < 0 ? -1 : Exec(nullptr, nullptr, line);
}

const char* TextOrNull(const char* text) {
    return text ? text : "(null)";
}

// Carries out a parsed request; activeId is the device's activated
// connection (null: none).
int RunWifiCommand(WifiConnectKind kind, const WifiConnectRequest& req, const char* iface,
                   const char* activeId) {
    char line[kCommandLineSize];
    switch (kind) {
        case kWifiDisconnect:
            if (activeId == nullptr) {
                return ExecLine(line, FormatWifiDisconnectLine(line, sizeof line, iface, true));
            }
            // Disconnect first and wait, then forget the profile so that
            // NetworkManager does not join that network again by itself.
            ExecLine(line, FormatWifiDisconnectLine(line, sizeof line, iface, false));
            return ExecLine(line, FormatConnectionDeleteLine(line, sizeof line, activeId));
        case kWifiReconnect:
            return ExecLine(line, FormatWifiReconnectLine(line, sizeof line, iface));
        case kWifiConnectTo: {
            char logLine[1024];
            if (FormatWifiConnectLog(logLine, sizeof logLine, req) >= 0) Log("%s", logLine);
            // The log shows the same line with the password as asterisks.
            WifiConnectRequest masked = req;
            MaskPassword(masked.password);
            char shown[kCommandLineSize];
            if (FormatWifiConnectLine(line, sizeof line, req, iface, kBssidFirst) < 0 ||
                FormatWifiConnectLine(shown, sizeof shown, masked, iface, kBssidFirst) < 0) {
                return -1;
            }
            return ExecShown(nullptr, nullptr, line, shown);
        }
        case kWifiConnectShort:
            break;
    }
    return -1;
}

std::string ActiveConnectionId(NMDevice* device, bool* found) {
    NMActiveConnection* conn = NmGetActiveConnection(device);
    *found = conn != nullptr;
    const char* id = conn ? nm_active_connection_get_id(conn) : nullptr;
    return id ? id : "";
}

void FillWifiApInfo(WifiLinkInfo* info, NMDevice* device, NMAccessPoint* ap, const char* iface) {
    char name[kReportSize];
    GetSSID(name, kReportSize - 22, ap);
    info->hasAp = true;
    info->name = name;
    info->strength = nm_access_point_get_strength(ap);
    info->channel = GetWifiChannel(nm_access_point_get_frequency(ap));
    const char* bssid = nm_access_point_get_bssid(ap);
    FromHexText(info->bssid, 6, bssid, 3);
    NmGetIP(info->ip, info->netmask, NmGetFirstIP(nm_device_get_ip4_config(device)));
    const uchar* ip = info->ip;
    const uchar* mask = info->netmask;
    Log("%s actived: %s %d%c %d %d.%d.%d.%d %d.%d.%d.%d %s\n", iface, name,
        info->strength > 99 ? 100 : info->strength, '%', info->channel, ip[0], ip[1], ip[2], ip[3],
        mask[0], mask[1], mask[2], mask[3], TextOrNull(bssid));
}

}  // namespace

// ---- request body and command lines ----

WifiConnectKind ParseWifiConnect(const uchar* body, int size, WifiConnectRequest* dest) {
    *dest = WifiConnectRequest{};
    if (body == nullptr || size < 1) return kWifiConnectShort;
    dest->action = body[0];
    if (dest->action == kActionDisconnect) return kWifiDisconnect;
    if (size == 1) return kWifiReconnect;
    dest->n = body[1];
    // The name field, then the password's length byte.
    if (2 + dest->n + 1 > size) return kWifiConnectShort;
    dest->m = body[2 + dest->n];
    const int password = 3 + dest->n;
    if (password + dest->m + 6 > size) return kWifiConnectShort;
    CopyField(dest->name, body + 2, dest->n);
    CopyField(dest->password, body + password, dest->m);
    memcpy(dest->bssid, body + password + dest->m, 6);
    return kWifiConnectTo;
}

int FormatWifiConnectLine(char* dest, size_t cap, const WifiConnectRequest& req, const char* iface,
                          bool bssidFirst) {
    char bssid[18];
    ToHexText(bssid, req.bssid, 6, ':');
    char name[kEscapedSize];
    char password[kEscapedSize];
    if (ShellEscape(name, sizeof name, req.name) < 0) return -1;
    if (ShellEscape(password, sizeof password, req.password) < 0) return -1;
    const bool withPassword = req.m >= 2;
    if (bssidFirst || req.n < 2) {
        if (!withPassword)
            return FormatLine(dest, cap, "nmcli dev wifi connect %s ifname %s &", bssid, iface);
        return FormatLine(dest, cap, "nmcli dev wifi connect %s password \"%s\" ifname %s &", bssid,
                          password, iface);
    }
    if (!withPassword)
        return FormatLine(dest, cap, "nmcli dev wifi connect \"%s\" ifname %s &", name, iface);
    return FormatLine(dest, cap, "nmcli dev wifi connect \"%s\" password \"%s\" ifname %s &", name,
                      password, iface);
}

int FormatWifiDisconnectLine(char* dest, size_t cap, const char* iface, bool background) {
    return FormatLine(dest, cap,
                      background ? "nmcli dev disconnect %s &" : "nmcli dev disconnect %s", iface);
}

int FormatConnectionDeleteLine(char* dest, size_t cap, const char* id) {
    char safe[1024];
    if (ShellEscape(safe, sizeof safe, id) < 0) return -1;
    return FormatLine(dest, cap, "nmcli con delete \"%s\" &", safe);
}

int FormatWifiReconnectLine(char* dest, size_t cap, const char* iface) {
    return FormatLine(dest, cap, "nmcli dev connect %s &", iface);
}

int FormatLanSwitchLine(char* dest, size_t cap, const char* iface, bool up) {
    return FormatLine(dest, cap, "ifconfig %s %s &", iface, up ? "up" : "down");
}

int FormatWifiConnectLog(char* dest, size_t cap, const WifiConnectRequest& req) {
    char bssid[18];
    ToHexText(bssid, req.bssid, 6, ':');
    // The password never reaches the log.
    char stars[sizeof req.password];
    snprintf(stars, sizeof stars, "%s", req.password);
    MaskPassword(stars);
    return FormatLine(dest, cap, "WifiConnect: %s %d:%s %d:%s\n", bssid, req.n, req.name, req.m,
                      stars);
}

// ---- link reports ----

int EncodeWifiReport(uchar* dest, const WifiLinkInfo& info) {
    memset(dest, 0, kReportSize);
    memcpy(dest, kWifiReportHeader, 3);
    dest[3] = info.netState;
    if (info.netState != kNetStateConnected || !info.hasAp) return 4;
    const size_t nameLength = std::min(info.name.size(), static_cast<size_t>(kReportSize - 22));
    const int L = static_cast<int>(nameLength) + 1;
    dest[4] = ToUChar(L);
    memcpy(dest + 5, info.name.data(), nameLength);
    dest[5 + L] = info.strength > 99 ? 100 : info.strength;
    dest[6 + L] = info.channel;
    memcpy(dest + 7 + L, info.bssid, 6);
    memcpy(dest + 13 + L, info.ip, 4);
    memcpy(dest + 17 + L, info.netmask, 4);
    return 21 + L;
}

int EncodeLanReport(uchar* dest, const LanLinkInfo& info) {
    memset(dest, 0, kReportSize);
    memcpy(dest, kLanReportHeader, 3);
    if (!info.hasDevice) return 4;
    dest[3] = info.netState;
    memcpy(dest + 4, info.mac, 6);
    if (info.netState != kNetStateConnected) return 10;
    memcpy(dest + 10, info.ip, 4);
    // Bytes 14..19 stay zero: the MCU reads the netmask at 20.
    memcpy(dest + 20, info.netmask, 4);
    return 24;
}

int EncodeMacReport(uchar* dest, const uchar* mac) {
    memset(dest, 0, 9);
    memcpy(dest, kMacReportHeader, 3);
    if (mac) memcpy(dest + 3, mac, 6);
    return 9;
}

int GetIP(uchar* dest, const char* ip) {
    if (dest == nullptr || ip == nullptr || ip[0] == '\0') return 0;
    const char* p = ip;
    for (int i = 0; i < 4; i++) {
        int value = 0;
        while (*p >= '0' && *p <= '9') {
            value = (value * 10 + (*p - '0')) & 0xFF;
            ++p;
        }
        dest[i] = static_cast<uchar>(value);
        if (*p != '\0') ++p;  // the dot; never past the end
    }
    return 4;
}

// ---- commands ----

int doWifiConnect(TtyData*, uchar, const uchar* cmd, int size, const char* iface) {
    WifiConnectRequest req;
    const WifiConnectKind kind = ParseWifiConnect(cmd, size, &req);
    if (kind == kWifiConnectShort) {
        DumpShortCommand(cmd, size);
        return -1;
    }
    // Only the lookup runs on the loop; nmcli runs here, so a slow
    // disconnect never stalls the loop.
    bool found = false;
    std::string id;
    if (kind == kWifiDisconnect) {
        NmCallOnLoop([&] { id = ActiveConnectionId(NmGetDevice(iface), &found); });
    }
    return RunWifiCommand(kind, req, iface, found ? id.c_str() : nullptr);
}

int doLanConnect(TtyData*, uchar, const uchar* cmd, int size, const char* iface) {
    if (IsShortCommand(cmd, size, 1)) return -1;
    const bool enable = cmd[0] == 1;
    SetLanEnabled(enable);
    char line[kCommandLineSize];
    return ExecLine(line, FormatLanSwitchLine(line, sizeof line, iface, enable));
}

namespace {
// Guarded by StateMutex.
bool LanEnabled = true;
unsigned lanSwitches = 0;
}  // namespace

bool IsLanEnabled() {
    pthread_mutex_lock(&StateMutex);
    bool enabled = LanEnabled;
    pthread_mutex_unlock(&StateMutex);
    return enabled;
}

void SetLanEnabled(bool enable) {
    pthread_mutex_lock(&StateMutex);
    LanEnabled = enable;
    ++lanSwitches;
    pthread_mutex_unlock(&StateMutex);
}

unsigned GetLanSwitchCount() {
    pthread_mutex_lock(&StateMutex);
    const unsigned count = lanSwitches;
    pthread_mutex_unlock(&StateMutex);
    return count;
}

void SetLanEnabledUnlessSwitched(unsigned switchCount) {
    pthread_mutex_lock(&StateMutex);
    if (lanSwitches == switchCount) LanEnabled = true;
    pthread_mutex_unlock(&StateMutex);
}

int doNet(const char* iface, const char* action) {
    char line[kCommandLineSize];
    return ExecLine(line, FormatNetLine(line, sizeof line, iface, action));
}

// ---- what libnm knows of a link (main loop) ----

void NmGetWifiLinkInfo(WifiLinkInfo* dest, const char* iface, NMDevice* device) {
    *dest = WifiLinkInfo{};
    if (device == nullptr) return;
    NMDeviceState state = nm_device_get_state(device);
    dest->netState = GetNetState(state);
    Log("%s status: %d %s\n", iface, dest->netState, GetDeviceStateText(state));
    NMAccessPoint* ap = nullptr;
    if (dest->netState == kNetStateConnected && NM_IS_DEVICE_WIFI(device)) {
        ap = nm_device_wifi_get_active_access_point(NM_DEVICE_WIFI(device));
    }
    if (ap) FillWifiApInfo(dest, device, ap, iface);
}

void NmGetLanLinkInfo(LanLinkInfo* dest, const char* iface, NMDevice* device) {
    *dest = LanLinkInfo{};
    if (device == nullptr) return;
    dest->hasDevice = true;
    NMDeviceState state = nm_device_get_state(device);
    dest->netState = GetNetState(state);
    const char* mac = NmGetMac(dest->mac, device);
    Log("%s status: %s %d %s\n", TextOrNull(mac), iface, dest->netState, GetDeviceStateText(state));
    if (dest->netState != kNetStateConnected) return;
    NmGetIP(dest->ip, dest->netmask, NmGetFirstIP(nm_device_get_ip4_config(device)));
    const uchar* ip = dest->ip;
    const uchar* mask = dest->netmask;
    Log("%s actived: %d.%d.%d.%d %d.%d.%d.%d %s\n", iface, ip[0], ip[1], ip[2], ip[3], mask[0],
        mask[1], mask[2], mask[3], TextOrNull(mac));
}

const char* NmGetMac(uchar* dest, NMDevice* device) {
    const char* text = device ? nm_device_get_hw_address(device) : nullptr;
    if (dest && text) FromHexText(dest, 6, text, 3);
    return text;
}

int NmGetIP(uchar* dest, uchar* netmask, NMIPAddress* addr) {
    if (addr == nullptr) return 0;
    int result = GetIP(dest, nm_ip_address_get_address(addr));
    if (netmask) {
        // In network byte order: its bytes are those of the dotted text.
        const guint32 mask = nm_utils_ip4_prefix_to_netmask(nm_ip_address_get_prefix(addr));
        memcpy(netmask, &mask, 4);
    }
    return result;
}

// ---- reports by interface name: libnm is read on the loop, the report
// encoded and sent here, so the loop never waits for the serial line ----

int NmSendWifiInfo(TtyData* data, uchar addr, const WifiLinkInfo& info) {
    uchar payload[kReportSize];
    return SendPayload(data, addr, payload, EncodeWifiReport(payload, info));
}

int NmSendLanInfo(TtyData* data, uchar addr, const LanLinkInfo& info) {
    uchar payload[kReportSize];
    return SendPayload(data, addr, payload, EncodeLanReport(payload, info));
}

int doReportWifiConnect(TtyData* data, uchar addr, const char* iface) {
    WifiLinkInfo info;
    NmCallOnLoop([&] { NmGetWifiLinkInfo(&info, iface, NmGetDevice(iface)); });
    return NmSendWifiInfo(data, addr, info);
}

int doReportLanConnect(TtyData* data, uchar addr, const char* iface) {
    LanLinkInfo info;
    NmCallOnLoop([&] { NmGetLanLinkInfo(&info, iface, NmGetDevice(iface)); });
    return NmSendLanInfo(data, addr, info);
}

int NmSendWiFiMac(TtyData* data, uchar addr, const char* iface) {
    uchar mac[6] = {};
    NmCallOnLoop([&] {
        const char* text = NmGetMac(mac, NmGetDevice(iface));
        Log("%s mac: %s\n", iface, TextOrNull(text));
    });
    uchar payload[kReportSize];
    return SendPayload(data, addr, payload, EncodeMacReport(payload, mac));
}
