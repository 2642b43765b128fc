// The NetworkManager client and the GLib main loop on the main thread.
#pragma once

#include "link/link.h"

int NmMain(TtyData* data, const char* wlan_name, const char* eth_name, int autoWifiScan);
// The MAC text of an interface (MAC mode of the command line); dest or null.
const char* NmGetMacAddress(char* dest, const char* iface);
