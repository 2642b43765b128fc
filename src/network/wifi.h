// WiFi scans and the paged list of access points sent to the MCU (the
// page's layout: network/tables.h).
#pragma once

#include <NetworkManager.h>

#include <cstdint>

#include "link/link.h"
#include "network/tables.h"

// ---- libnm side (main loop) ----

uchar GetWifiSecurity(char* dest, NMAccessPoint* ap);
uchar GetWifiChannel(uint32_t frequency);  // low 8 bits of the channel number

bool compare_ap(NMAccessPoint* apa, NMAccessPoint* apb);
// Keeps the visible access points of aps (a reference taken on each),
// strongest first; returns how many.
int doSortWifiList(NMAccessPoint** dest, const GPtrArray* aps, gsize count);
int GetSSID(char* dest, int maxSize, NMAccessPoint* ap);
void NmGetWifiApRecord(WifiApRecord* dest, NMAccessPoint* ap);
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
