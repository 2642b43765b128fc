// The NetworkManager client and the GLib main loop on the main thread.
//
// libnm objects are not thread-safe and belong to the main loop: every
// libnm call runs on the main thread. Other threads (the receive thread, the
// state monitor) hand their network work to the loop with NmCallOnLoop and
// wait for it. Devices are looked up by interface name at the moment of use
// (NmGetDevice), never kept: libnm frees them when NetworkManager stops or a
// device goes away.
#pragma once

#include <NetworkManager.h>

#include <type_traits>

#include "link/link.h"
#include "network/tables.h"

// ---- client and main loop (main thread) ----

// A new loop on the default context, not yet running.
GMainLoop* glib2_init();
// A client made synchronously; null when it cannot be made (no system bus).
NMClient* nm_init();
// Creates the client, logs the active connections, arms the automatic scan
// (autoWifiScan ms, none when <= 0) and runs the main loop.
int NmMain(TtyData* data, const char* wlan_name, const char* eth_name, int autoWifiScan);

// Ends the main loop (on the loop's thread: a signal source's callback).
void NmQuit();
// Whether the main loop serves queued work: false when a probe it was
// given has waited limitMs or longer. Each call with no probe pending queues
// one and gives true; true when there is no loop. One caller (the monitor).
bool NmIsLoopAnswering(unsigned long limitMs);

// ---- queries: main loop only; results belong to libnm ----

// The device of that interface now, or null (no client, NetworkManager not
// running, no such device). Valid until control returns to the loop.
NMDevice* NmGetDevice(const char* iface);
// The same, only when it is a WiFi device.
NMDeviceWifi* NmGetWifiDevice(const char* iface);
NMDeviceState NmGetDeviceState(NMDevice* src);  // NM_DEVICE_STATE_FAILED for null
gint GetSize(GBytes* src);
gint GetArraySize(const GPtrArray* src);
NMIPAddress* NmGetFirstIP(NMIPConfig* ip4);
// The device's connection in the activated state, or null.
NMActiveConnection* NmGetActiveConnection(const gpointer device);

// ---- running work on the main loop (any thread) ----

// Runs fn(arg) on the main loop and waits for it to finish. On the loop's
// own thread it runs at once. With no loop (console test mode, MAC mode)
// it runs where it is called, with no client: every query takes its null
// path. Never call it holding a lock the loop may need.
void NmRunOnLoop(void (*fn)(void*), void* arg);

template <typename Fn>
void NmCallOnLoop(Fn&& fn) {
    using Body = std::remove_reference_t<Fn>;
    NmRunOnLoop([](void* p) { (*static_cast<Body*>(p))(); },
                const_cast<void*>(static_cast<const void*>(&fn)));
}

// The state of the device of that interface, as one call on the loop;
// *present (may be null) tells whether there is such a device.
NMDeviceState NmGetDeviceStateIface(const char* iface, bool* present);

// The MAC text of an interface (MAC mode of the command line); dest (at
// least 64 bytes) or null.
const char* NmGetMacAddress(char* dest, const char* iface);

// Test seam: marks the calling thread as the one that runs the main loop.
void NmSetLoopThread();
