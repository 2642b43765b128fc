#include "network/tables.h"

#include <cstdio>
#include <cstring>

#include "link/byteorder.h"

namespace {

constexpr uchar kWifiListHeader[3] = {0x10, 0x01, 0x02};

bool FlagsMatch(const SecurityStep& step, uint32_t wpa, uint32_t rsn) {
    switch (step.flags) {
        case kWpaFlags:
            return (wpa & step.mask) != 0;
        case kRsnFlags:
            return (rsn & step.mask) != 0;
        case kWpaOrRsnFlags:
            return ((wpa | rsn) & step.mask) != 0;
    }
    return false;
}

void AppendText(char* dest, const char* text) {
    if (dest == nullptr) return;
    size_t used = strlen(dest);
    snprintf(dest + used, kSecurityTextSize - used, "%s%s", used ? "," : "", text);
}

}  // namespace

const char* GetDeviceStateText(NMDeviceState src) {
    for (const DeviceStateRow& row : kDeviceStates) {
        if (row.state == src) return row.text;
    }
    return "UNKNOWN";
}

uchar GetNetState(NMDeviceState src) {
    for (const DeviceStateRow& row : kDeviceStates) {
        if (row.state == src) return row.netState;
    }
    return 0;
}

const char* GetNetStateText(uchar netState) {
    return netState <= kNetStateConnected ? kNetStateTexts[netState] : "?";
}

const char* GetWifiSecurityClassText(uchar cls) {
    for (const SecurityClassRow& row : kSecurityClasses) {
        if (row.cls == cls) return row.text;
    }
    return "?";
}

uchar GetWifiSecurityFlags(char* dest, uint32_t flags, uint32_t wpaFlags, uint32_t rsnFlags) {
    if ((flags & NM_802_11_AP_FLAGS_PRIVACY) && wpaFlags == 0 && rsnFlags == 0) {
        AppendText(dest, "WEP");
        return kSecurityWep;
    }
    uchar cls = 0;
    for (const SecurityStep& step : kSecuritySteps) {
        if (!FlagsMatch(step, wpaFlags, rsnFlags)) continue;
        cls = step.cls;
        AppendText(dest, step.text);
    }
    return cls;
}

int GetWifiPageCount(int count) {
    return (count + kWifiEntriesPerPage - 1) / kWifiEntriesPerPage;
}

bool IsHiddenSsid(const uchar* ssid, size_t size) {
    return ssid == nullptr || size == 0 || ssid[0] == 0;
}

int EncodeWifiEntry(uchar* dest, const WifiApRecord& ap, int number) {
    int nameLength = static_cast<int>(strnlen(ap.name, kWifiNameMax));
    int length = nameLength + kWifiEntryMin;
    dest[0] = ToUChar(length);
    dest[1] = ToUChar(number);
    dest[2] = ap.strength > 99 ? 100 : ap.strength;
    dest[3] = ap.security;
    dest[4] = ap.channel;
    memcpy(dest + 5, ap.bssid, 6);
    memcpy(dest + 11, ap.name, static_cast<size_t>(nameLength));
    dest[11 + nameLength] = 0;
    return length;
}

int EncodeWifiPage(uchar* dest, const WifiApRecord* aps, int count, int page, int* pageEnds) {
    memcpy(dest, kWifiListHeader, sizeof kWifiListHeader);
    if (aps == nullptr || count <= 0) {
        dest[3] = dest[4] = dest[5] = 0;
        return 6;
    }
    dest[3] = ToUChar(count);
    dest[4] = ToUChar(page);
    dest[5] = ToUChar(GetWifiPageCount(count));
    int size = 6;
    int first = (page - 1) * kWifiEntriesPerPage;
    for (int i = first; i >= 0 && i < count && i < first + kWifiEntriesPerPage; i++) {
        size += EncodeWifiEntry(dest + size, aps[i], i + 1);
        if (pageEnds) pageEnds[i - first] = size;
    }
    return size;
}
