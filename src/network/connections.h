// Connection commands (nmcli, ifconfig, the control script's net line), the
// link reports to the MCU, MAC addresses and the LAN-enabled flag.
#pragma once

#include <NetworkManager.h>

#include <cstddef>
#include <string>

#include "link/link.h"

// ---- WiFi connect request body, pure ----
//   action (2 = disconnect), n, name[n], m, password[m], BSSID[6];
//   a 1-byte body with another action reconnects the device.

enum WifiConnectKind { kWifiConnectShort = -1, kWifiDisconnect, kWifiReconnect, kWifiConnectTo };

struct WifiConnectRequest {
    uchar action = 0;
    int n = 0;            // name field length, its zero included
    char name[256] = {};  // empty when n < 2
    int m = 0;            // password field length, its zero included
    char password[256] = {};
    uchar bssid[6] = {};
};

// Reads a body within its size; kWifiConnectShort when its length bytes run
// past its end (or it is empty).
WifiConnectKind ParseWifiConnect(const uchar* body, int size, WifiConnectRequest* dest);

// The nmcli lines; text from the MCU and connection ids are escaped for
// their double quotes. Each returns the line's length or -1 when it does
// not fit.
int FormatWifiConnectLine(char* dest, size_t cap, const WifiConnectRequest& req, const char* iface,
                          bool bssidFirst);
int FormatWifiDisconnectLine(char* dest, size_t cap, const char* iface, bool background);
int FormatConnectionDeleteLine(char* dest, size_t cap, const char* id);
int FormatWifiReconnectLine(char* dest, size_t cap, const char* iface);
int FormatLanSwitchLine(char* dest, size_t cap, const char* iface, bool up);
// "WifiConnect: BSSID n:name m:***" with the password as asterisks.
int FormatWifiConnectLog(char* dest, size_t cap, const WifiConnectRequest& req);

// ---- link reports, pure ----

constexpr int kReportSize = 256;

struct WifiLinkInfo {
    uchar netState = 0;
    bool hasAp = false;  // only with netState 3
    std::string name;
    uchar strength = 0;  // as libnm gives it
    uchar channel = 0;
    uchar bssid[6] = {};
    uchar ip[4] = {};
    uchar netmask[4] = {};
};

struct LanLinkInfo {
    bool hasDevice = false;
    uchar netState = 0;
    uchar mac[6] = {};
    uchar ip[4] = {};
    uchar netmask[4] = {};
};

// Each writes the payload into dest (kReportSize bytes) and returns its length.
int EncodeWifiReport(uchar* dest, const WifiLinkInfo& info);  // 4 or 21 + L
int EncodeLanReport(uchar* dest, const LanLinkInfo& info);    // 4, 10 or 24
int EncodeMacReport(uchar* dest, const uchar* mac);           // 9; mac null: zeros

// Dotted text to 4 bytes, each part kept to 8 bits; missing parts are 0.
// Returns 4, or 0 for a null or empty text.
int GetIP(uchar* dest, const char* ip);

// ---- commands (any thread) ----

int doWifiConnect(TtyData* data, uchar addr, const uchar* cmd, int size, const char* iface);
int doLanConnect(TtyData* data, uchar addr, const uchar* cmd, int size, const char* iface);
bool IsLanEnabled();
void SetLanEnabled(bool enable);
// Every SetLanEnabled (the MCU's switch) counts. The monitor notes the count
// whenever it sees the link not active, and its "activated, so enabled" then
// applies only if the MCU has not switched since: an activation already under
// way when the MCU switched the LAN off never undoes the switch-off.
unsigned GetLanSwitchCount();
void SetLanEnabledUnlessSwitched(unsigned switchCount);
int doNet(const char* iface, const char* action);

// ---- reports by interface name (any thread): what libnm knows is read in
// one call on the main loop, the report is encoded and sent by the caller ----

int doReportWifiConnect(TtyData* data, uchar addr, const char* iface);
int doReportLanConnect(TtyData* data, uchar addr, const char* iface);
// The two reports' frames from the records: encoded and sent by the caller.
int NmSendWifiInfo(TtyData* data, uchar addr, const WifiLinkInfo& info);
int NmSendLanInfo(TtyData* data, uchar addr, const LanLinkInfo& info);
int NmSendWiFiMac(TtyData* data, uchar addr, const char* iface);

// ---- main loop only: they take libnm objects ----

// What libnm knows of the link into dest; logs the device's status, and its
// access point and addresses when connected. A null device gives the
// record of no link (the LAN's: no device).
void NmGetWifiLinkInfo(WifiLinkInfo* dest, const char* iface, NMDevice* device);
void NmGetLanLinkInfo(LanLinkInfo* dest, const char* iface, NMDevice* device);
const char* NmGetMac(uchar* dest, NMDevice* device);
int NmGetIP(uchar* dest, uchar* netmask, NMIPAddress* addr);
