#include "network/wifi.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include "common/config.h"
#include "common/log.h"
#include "link/byteorder.h"
#include "network/nm.h"

namespace {

constexpr unsigned kPagePauseUs = 300;
constexpr unsigned kListDelayMs = 100;
constexpr guint kScanStartMs = 10;

// The object the pending last-scan handler is connected on. A weak pointer:
// libnm drops the device (and its handlers) when NetworkManager goes away,
// and a handler id must never be disconnected from another object.
GObject* scanDevice = nullptr;

void TrackScanDevice(GObject* device) {
    if (scanDevice == device) return;
    if (scanDevice)
        g_object_remove_weak_pointer(scanDevice, reinterpret_cast<gpointer*>(&scanDevice));
    scanDevice = device;
    if (scanDevice) g_object_add_weak_pointer(scanDevice, reinterpret_cast<gpointer*>(&scanDevice));
}

void ClearScanHandler(TtyData* data) {
    if (scanDevice) {
        nm_clear_g_signal_handler(scanDevice, &data->lastScanId);
    } else {
        data->lastScanId = 0;  // its object is gone, and the handler with it
    }
}

int MsSince(const TtyData* data) {
    return data ? static_cast<int>(TickCount() - data->lastScanTick) : 0;
}

void LogWifiEntry(const WifiApRecord& ap, int number, int pageLength) {
    Log("%02d %d%c %d:%s %d %s %s %d\n", number, ap.strength > 99 ? 100 : ap.strength, '%',
        ap.security, ap.securityText, ap.channel, ap.bssidText, ap.name, pageLength);
}

void SendWifiPages(TtyData* data, const WifiApRecord* aps, int count) {
    uchar page[kWifiPageMax];
    int pages = GetWifiPageCount(count);
    for (int p = 1; p <= pages; p++) {
        int ends[kWifiEntriesPerPage] = {};
        int size = EncodeWifiPage(page, aps, count, p, ends);
        Log("count=%d page=%d/%d\n", page[3], page[4], page[5]);
        if (IsDebug) {
            int first = (p - 1) * kWifiEntriesPerPage;
            for (int i = first; i < count && i < first + kWifiEntriesPerPage; i++) {
                LogWifiEntry(aps[i], i + 1, ends[i - first]);
            }
        }
        SendPayload(data, data->wifiSendAddr.load(), page, size);
        if (p < pages) usleep(kPagePauseUs);
    }
}

void SendEmptyWifiList(TtyData* data) {
    uchar page[kWifiPageMax];
    int size = EncodeWifiPage(page, nullptr, 0, 1, nullptr);
    SendPayload(data, data->wifiSendAddr.load(), page, size);
}

}  // namespace

// ---- security ----

uchar GetWifiSecurity(char* dest, NMAccessPoint* ap) {
    if (ap == nullptr) return 0;
    return GetWifiSecurityFlags(dest, nm_access_point_get_flags(ap),
                                nm_access_point_get_wpa_flags(ap),
                                nm_access_point_get_rsn_flags(ap));
}

// ---- the list page ----

uchar GetWifiChannel(uint32_t frequency) {
    return ToUChar(static_cast<int>(nm_utils_wifi_freq_to_channel(frequency)));
}

// ---- libnm side ----

bool compare_ap(NMAccessPoint* apa, NMAccessPoint* apb) {
    return nm_access_point_get_strength(apa) > nm_access_point_get_strength(apb);
}

int doSortWifiList(NMAccessPoint** dest, const GPtrArray* aps, gsize count) {
    if (dest == nullptr || aps == nullptr || count == 0) return 0;
    int kept = 0;
    for (gsize i = 0; i < count && i < aps->len; i++) {
        auto* ap = static_cast<NMAccessPoint*>(g_ptr_array_index(aps, i));
        GBytes* ssid = ap ? nm_access_point_get_ssid(ap) : nullptr;
        gsize size = 0;
        const auto* bytes =
            ssid ? static_cast<const uchar*>(g_bytes_get_data(ssid, &size)) : nullptr;
        if (IsHiddenSsid(bytes, size)) continue;
        dest[kept++] = static_cast<NMAccessPoint*>(g_object_ref(ap));
    }
    std::sort(dest, dest + kept, compare_ap);
    return kept;
}

int GetSSID(char* dest, int maxSize, NMAccessPoint* ap) {
    if (dest == nullptr || ap == nullptr) return 0;
    GBytes* ssid = nm_access_point_get_ssid(ap);
    dest[0] = '\0';
    if (GetSize(ssid) == 0) return 0;
    gsize size = 0;
    const auto* bytes = static_cast<const guint8*>(g_bytes_get_data(ssid, &size));
    char* text = nm_utils_ssid_to_utf8(bytes, size);
    if (text == nullptr) return 0;
    int length = static_cast<int>(strlen(text));
    if (maxSize >= 0 && length > maxSize) length = maxSize;
    memcpy(dest, text, static_cast<size_t>(length));
    dest[length] = '\0';
    g_free(text);
    return length;
}

void NmGetWifiApRecord(WifiApRecord* dest, NMAccessPoint* ap) {
    *dest = WifiApRecord{};
    dest->strength = nm_access_point_get_strength(ap);
    dest->security = GetWifiSecurity(dest->securityText, ap);
    dest->channel = GetWifiChannel(nm_access_point_get_frequency(ap));
    const char* bssid = nm_access_point_get_bssid(ap);
    FromHexText(dest->bssid, 6, bssid, 3);
    snprintf(dest->bssidText, sizeof dest->bssidText, "%s", bssid ? bssid : "");
    GetSSID(dest->name, kWifiNameMax, ap);
}

int NmSendWifiList(TtyData* ttyData, NMDevice* device) {
    const GPtrArray* aps = nullptr;
    if (device && NM_IS_DEVICE_WIFI(device)) {
        aps = nm_device_wifi_get_access_points(NM_DEVICE_WIFI(device));
    }
    int n = GetArraySize(aps);
    std::vector<NMAccessPoint*> work(static_cast<size_t>(n));
    int count = doSortWifiList(work.data(), aps, static_cast<gsize>(n));
    if (count == 0) {
        SendEmptyWifiList(ttyData);
        return 0;
    }
    std::vector<WifiApRecord> records(static_cast<size_t>(count));
    for (int i = 0; i < count; i++) {
        NmGetWifiApRecord(&records[static_cast<size_t>(i)], work[static_cast<size_t>(i)]);
        g_object_unref(work[static_cast<size_t>(i)]);
    }
    SendWifiPages(ttyData, records.data(), count);
    return count;
}

gboolean nm_clear_g_signal_handler(gpointer self, gulong* id) {
    if (id == nullptr || *id == 0) return FALSE;
    gulong old = *id;
    *id = 0;
    if (self == nullptr) return FALSE;
    g_signal_handler_disconnect(self, old);
    return TRUE;
}

void NmWifiScanning(NMDevice* device, GAsyncReadyCallback callback, TtyData* data) {
    if (device == nullptr || !NM_IS_DEVICE_WIFI(device)) return;
    GCancellable* cancellable = g_cancellable_new();
    if (data) data->lastScanTick = TickCount();
    const char* mac = nm_device_wifi_get_permanent_hw_address(NM_DEVICE_WIFI(device));
    Log("WiFi: %s mac=%s scanning...\n", nm_device_get_iface(device), mac ? mac : "");
    nm_device_wifi_request_scan_async(NM_DEVICE_WIFI(device), cancellable, callback, data);
    g_object_unref(cancellable);
}

void wifi_scan_cb(GObject* source_object, GAsyncResult* res, gpointer user_data) {
    auto* data = static_cast<TtyData*>(user_data);
    GError* error = nullptr;
    // A refused request (too soon after the last scan) only means that no
    // last-scan change follows; nothing to act on.
    nm_device_wifi_request_scan_finish(NM_DEVICE_WIFI(source_object), res, &error);
    g_clear_error(&error);
    Log("Wifi request scan finish %dms.\n", MsSince(data));
}

void doWifiScanStarted(GObject* source_object, GAsyncResult* res, gpointer user_data) {
    wifi_scan_cb(source_object, res, user_data);
    SleepMs(kListDelayMs);
    // Looked up again: the device may have gone while the scan was out.
    NmSendWifiList(static_cast<TtyData*>(user_data), NmGetDevice(WLAN_NAME));
}

void wifi_last_scan_updated(GObject* source_object, GParamSpec*, gpointer user_data) {
    auto* data = static_cast<TtyData*>(user_data);
    ClearScanHandler(data);
    Log("Wifi last scan updated %dms.\n", MsSince(data));
    data->lastScanTick = TickCount();
    NmSendWifiList(data, NM_DEVICE(source_object));
}

gboolean DoStartWifiScan(gpointer user_data) {
    auto* data = static_cast<TtyData*>(user_data);
    ClearScanHandler(data);
    NMDeviceWifi* device = NmGetWifiDevice(WLAN_NAME);
    if (device == nullptr) {
        // Gone since the request: the MCU still gets its answer.
        NmSendWifiList(data, nullptr);
        return G_SOURCE_REMOVE;
    }
    TrackScanDevice(G_OBJECT(device));
    data->lastScanId = g_signal_connect_data(device, "notify::" NM_DEVICE_WIFI_LAST_SCAN,
                                             G_CALLBACK(wifi_last_scan_updated), data, nullptr,
                                             static_cast<GConnectFlags>(0));
    NmWifiScanning(NM_DEVICE(device), doWifiScanStarted, data);
    return G_SOURCE_REMOVE;
}

gboolean DoAudoWifiScan(gpointer user_data) {
    NMDeviceWifi* device = NmGetWifiDevice(WLAN_NAME);
    if (device) NmWifiScanning(NM_DEVICE(device), wifi_scan_cb, static_cast<TtyData*>(user_data));
    return G_SOURCE_CONTINUE;
}

int doReportWifiList(TtyData* data, uchar addr) {
    data->wifiSendAddr.store(addr);
    NmCallOnLoop([data] {
        if (NmGetWifiDevice(WLAN_NAME) == nullptr) {
            NmSendWifiList(data, nullptr);
        } else {
            g_timeout_add(kScanStartMs, DoStartWifiScan, data);
        }
    });
    return 0;
}
