// The network side's pure tables: device states and the link-state byte,
// WiFi security classes and the list page's layout. No libnm calls (only
// its plain enum header), so the MCU console links them to decode.
//
// Page: 10 01 02, count, page (from 1), pages, then up to 4 entries:
//   L = name length + 12, running number, strength (>99 sent as 100),
//   security class, channel, BSSID[6], name, 0.
#pragma once

#include <nm-dbus-interface.h>

#include <cstddef>
#include <cstdint>

#include "common/public.h"

// ---- device state tables (shared with the MCU console for decoding) ----

struct DeviceStateRow {
    int state;         // NMDeviceState value
    const char* text;  // for the log
    uchar netState;    // link-state byte sent to the MCU
};

inline constexpr DeviceStateRow kDeviceStates[] = {
    {NM_DEVICE_STATE_UNKNOWN, "UNKNOWN", 0},
    {NM_DEVICE_STATE_UNMANAGED, "UNMANAGED", 0},
    {NM_DEVICE_STATE_UNAVAILABLE, "UNAVAILABLE", 0},
    {NM_DEVICE_STATE_DISCONNECTED, "DISCONNECTED", 0},
    {NM_DEVICE_STATE_PREPARE, "PREPARE", 1},
    {NM_DEVICE_STATE_CONFIG, "CONFIG", 1},
    {NM_DEVICE_STATE_NEED_AUTH, "NEED_AUTH", 1},
    {NM_DEVICE_STATE_IP_CONFIG, "IP_CONFIG", 2},
    {NM_DEVICE_STATE_IP_CHECK, "IP_CHECK", 2},
    {NM_DEVICE_STATE_SECONDARIES, "SECONDARIES", 0},
    {NM_DEVICE_STATE_ACTIVATED, "ACTIVATED", 3},
    {NM_DEVICE_STATE_DEACTIVATING, "DEACTIVATING", 0},
    {NM_DEVICE_STATE_FAILED, "FAILED", 0},
};

// The link-state byte: 0 no link, 1 being set up, 2 getting an address,
// 3 connected. Only 3 carries addresses in the link reports.
constexpr uchar kNetStateConnected = 3;
inline constexpr const char* kNetStateTexts[] = {"no link", "connecting", "getting address",
                                                 "connected"};

const char* GetDeviceStateText(NMDeviceState src);  // "UNKNOWN" for values not in the table
uchar GetNetState(NMDeviceState src);               // 0 for values not in the table
const char* GetNetStateText(uchar netState);        // console decoding; "?" beyond 3

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

// ---- the list page ----

constexpr int kWifiEntriesPerPage = 4;
constexpr int kWifiNameMax = 32;
constexpr int kWifiEntryHeader = 11;  // length, number, strength, class, channel, BSSID
constexpr int kWifiEntryMin = kWifiEntryHeader + 1;  // an empty name and its zero
constexpr int kWifiPageMax = 6 + kWifiEntriesPerPage * (kWifiNameMax + kWifiEntryMin);

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

int GetWifiPageCount(int count);  // count / 4 rounded up
bool IsHiddenSsid(const uchar* ssid, size_t size);
// One entry at dest; returns its length.
int EncodeWifiEntry(uchar* dest, const WifiApRecord& ap, int number);
// Page `page` (from 1) of the sorted list aps[0..count) into dest
// (kWifiPageMax bytes); returns its length. With count 0 the empty page
// 10 01 02 00 00 00. pageEnds (may be null, 4 slots) gets the page length
// after each entry.
int EncodeWifiPage(uchar* dest, const WifiApRecord* aps, int count, int page, int* pageEnds);

// Walks a received page's entries by their length bytes from byte 6, calling
// onEntry(at, length) for each whole one; an entry shorter than its header
// and zero or one running past the page ends the walk. Returns where the walk
// stopped: size when every entry was whole.
template <typename Fn>
int WalkWifiPage(const uchar* page, int size, Fn&& onEntry) {
    int at = 6;
    while (at < size) {
        const int length = page[at];
        if (length < kWifiEntryMin || at + length > size) break;
        onEntry(at, length);
        at += length;
    }
    return at;
}
