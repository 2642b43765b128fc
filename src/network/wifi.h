// WiFi scans and the paged list of access points sent to the MCU.
//
// Page: 10 01 02, count, page (from 1), pages, then up to 4 entries:
//   L = name length + 12, running number, strength (>99 sent as 100),
//   security class, channel, BSSID[6], name, 0.
#pragma once

#include <NetworkManager.h>

#include <cstdint>

#include "link/link.h"

// ---- security classes (shared with the MCU console for decoding) ----

struct SecurityClassRow {
    uchar cls;
    const char* text;
};
inline constexpr SecurityClassRow kSecurityClasses[] = {
    {0, "open"}, {1, "WPA1"}, {2, "WPA2"}, {4, "WPA3"}, {8, "WEP"}, {16, "802.1X"},
};
const char* GetWifiSecurityClassText(uchar cls);  // "?" for a class not in the table

// The security steps, tried in order after the WEP test; the class is that
// of the last match, the text names every match.
enum SecurityFlagSet : uchar { kWpaFlags, kRsnFlags, kWpaOrRsnFlags };
struct SecurityStep {
    SecurityFlagSet flags;
    uint32_t mask;
    uchar cls;
    const char* text;
};
inline constexpr SecurityStep kSecuritySteps[] = {
    {kWpaFlags, 0xFFFFFFFFu, 1, "WPA1"},
    {kRsnFlags, NM_802_11_AP_SEC_KEY_MGMT_PSK | NM_802_11_AP_SEC_KEY_MGMT_802_1X, 2, "WPA2"},
    {kRsnFlags, NM_802_11_AP_SEC_KEY_MGMT_SAE, 4, "WPA3"},
    {kWpaOrRsnFlags, NM_802_11_AP_SEC_KEY_MGMT_802_1X, 16, "802.1X"},
};
constexpr uchar kSecurityWep = 8;
constexpr int kSecurityTextSize = 64;

// Pure: class and text (dest of kSecurityTextSize bytes, or null) from the
// access point's flags, WPA flags and RSN flags.
uchar GetWifiSecurityFlags(char* dest, uint32_t flags, uint32_t wpaFlags, uint32_t rsnFlags);
uchar GetWifiSecurity(char* dest, NMAccessPoint* ap);

// ---- the list page, pure ----

constexpr int kWifiEntriesPerPage = 4;
constexpr int kWifiNameMax = 32;
constexpr int kWifiPageMax = 6 + kWifiEntriesPerPage * (kWifiNameMax + 12);

// One access point as the list needs it.
struct WifiApRecord {
    uchar strength;  // as libnm gives it
    uchar security;  // class
    uchar channel;
    uchar bssid[6];
    char name[kWifiNameMax + 1];           // at most 32 bytes of text
    char securityText[kSecurityTextSize];  // for the log
    char bssidText[32];                    // libnm's text, for the log
};

uchar GetWifiChannel(uint32_t frequency);  // low 8 bits of the channel number
int GetWifiPageCount(int count);           // count / 4 rounded up
bool IsHiddenSsid(const uchar* ssid, size_t size);
// One entry at dest; returns its length.
int EncodeWifiEntry(uchar* dest, const WifiApRecord& ap, int number);
// Page `page` (from 1) of the sorted list aps[0..count) into dest
// (kWifiPageMax bytes); returns its length. With count 0 the empty page
// 10 01 02 00 00 00. pageEnds (may be null, 4 slots) gets the page length
// after each entry.
int EncodeWifiPage(uchar* dest, const WifiApRecord* aps, int count, int page, int* pageEnds);

// ---- libnm side (main loop) ----

bool compare_ap(NMAccessPoint* apa, NMAccessPoint* apb);
// Keeps the visible access points of aps (a reference taken on each),
// strongest first; returns how many.
int doSortWifiList(NMAccessPoint** dest, const GPtrArray* aps, gsize count);
int GetSSID(char* dest, int maxSize, NMAccessPoint* ap);
void GetWifiApRecord(WifiApRecord* dest, NMAccessPoint* ap);
// Sends the device's list in pages to wifiSendAddr; returns the count.
int NmSendWifiList(TtyData* ttyData, NMDevice* device);

void NmWifiScanning(NMDevice* device, GAsyncReadyCallback callback, TtyData* data);
gboolean DoStartWifiScan(gpointer user_data);
gboolean DoAudoWifiScan(gpointer user_data);
void wifi_scan_cb(GObject* source_object, GAsyncResult* res, gpointer user_data);
void doWifiScanStarted(GObject* source_object, GAsyncResult* res, gpointer user_data);
void wifi_last_scan_updated(GObject* source_object, GParamSpec* pspec, gpointer user_data);
gboolean nm_clear_g_signal_handler(gpointer self, gulong* id);

// ---- any thread ----

// The MCU's list request: the list goes to addr after a fresh scan, or at
// once as the empty page when there is no WiFi device.
int doReportWifiList(TtyData* data, uchar addr);
