#include "network/nm.h"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <mutex>

#include "common/log.h"
#include "common/service.h"
#include "network/connections.h"
#include "network/wifi.h"

namespace {

constexpr unsigned kClientRetrySeconds = 5;

NMClient* nmClient = nullptr;  // main loop only (and MAC mode's main thread)
GMainLoop* mainLoop = nullptr;

// Set once by NmMain before anything is queued; read by every thread.
std::atomic<bool> loopExpected{false};
pthread_t loopThread;

// TickCount when the loop's unanswered probe was queued; 0: none pending.
std::atomic<unsigned long> probeSince{0};

gboolean AnswerProbe(gpointer) {
    probeSince.store(0);
    return G_SOURCE_REMOVE;
}

// True while a query runs inline because there is no loop: such a query
// must not look at the client, which may be in the making on another thread.
thread_local bool noClientHere = false;

struct LoopCall {
    void (*fn)(void*);
    void* arg;
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
};

gboolean RunLoopCall(gpointer p) {
    auto* call = static_cast<LoopCall*>(p);
    call->fn(call->arg);
    // Notified under the lock: the waiter cannot return (and free the call)
    // before this thread has let go of it.
    std::lock_guard<std::mutex> hold(call->mutex);
    call->finished = true;
    call->done.notify_one();
    return G_SOURCE_REMOVE;
}

bool IsLoopThread() {
    return loopExpected.load(std::memory_order_acquire) &&
           pthread_equal(pthread_self(), loopThread) != 0;
}

struct StartUp {
    TtyData* data;
    int autoWifiScan;
};
StartUp startUp{};

void ArmAutoScan() {
    if (startUp.autoWifiScan <= 0) return;
    DoAudoWifiScan(startUp.data);
    g_timeout_add(static_cast<guint>(startUp.autoWifiScan), DoAudoWifiScan, startUp.data);
}

const char* FirstIpText(NMDevice* device) {
    NMIPAddress* ip = NmGetFirstIP(nm_device_get_ip4_config(device));
    return ip ? nm_ip_address_get_address(ip) : "none";
}

void LogActiveConnections(const char* wlan_name, const char* eth_name) {
    NMDevice* wlan = NmGetDevice(wlan_name);
    NMDevice* eth = NmGetDevice(eth_name);
    NMActiveConnection* wlanConn = wlan ? NmGetActiveConnection(wlan) : nullptr;
    NMActiveConnection* ethConn = eth ? NmGetActiveConnection(eth) : nullptr;
    if (wlanConn) {
        Log("WiFi(%s): id=%s type=%s ip=%s\n", nm_device_get_iface(wlan),
            nm_active_connection_get_id(wlanConn),
            nm_active_connection_get_connection_type(wlanConn), FirstIpText(wlan));
    }
    if (ethConn) {
        Log("Lan(%s):  id=%s type=%s ip=%s\n", nm_device_get_iface(eth),
            nm_active_connection_get_id(ethConn), nm_active_connection_get_connection_type(ethConn),
            FirstIpText(eth));
    }
}

// Without a system bus there is no client; the bus may come up later (boot
// order), so the client is tried again until it can be made.
gboolean RetryClient(gpointer) {
    nmClient = nm_init();
    if (nmClient == nullptr) return G_SOURCE_CONTINUE;
    ArmAutoScan();
    return G_SOURCE_REMOVE;
}

}  // namespace

GMainLoop* glib2_init() {
    return g_main_loop_new(nullptr, FALSE);
}

NMClient* nm_init() {
    GError* error = nullptr;
    NMClient* client = nm_client_new(nullptr, &error);
    g_clear_error(&error);
    return client;
}

void NmSetLoopThread() {
    loopThread = pthread_self();
    loopExpected.store(true, std::memory_order_release);
}

int NmMain(TtyData* data, const char* wlan_name, const char* eth_name, int autoWifiScan) {
    NmSetLoopThread();
    int result = 0;
    startUp = StartUp{data, autoWifiScan};
    nmClient = nm_init();
    if (nmClient == nullptr) {
        result = -1;
        g_timeout_add_seconds(kClientRetrySeconds, RetryClient, nullptr);
    } else {
        ArmAutoScan();
        LogActiveConnections(wlan_name, eth_name);
    }
    mainLoop = glib2_init();
    Log("nm main loop start.\n");
    g_main_loop_run(mainLoop);
    if (nmClient) g_object_unref(nmClient);
    nmClient = nullptr;
    Log("nm main end.\n");
    return result;
}

void NmQuit() {
    if (mainLoop != nullptr) g_main_loop_quit(mainLoop);
}

bool NmIsLoopAnswering(unsigned long limitMs) {
    if (!loopExpected.load(std::memory_order_acquire)) return true;
    const unsigned long now = TickCount();
    const unsigned long since = probeSince.load();
    if (since != 0) return IsStepInTime(now, since, limitMs);
    probeSince.store(now != 0 ? now : 1);
    // Queued at the default priority, as the other threads' calls are: the
    // answer then shows that those get served too.
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, AnswerProbe, nullptr, nullptr);
    g_source_attach(source, nullptr);
    g_source_unref(source);
    return true;
}

NMDevice* NmGetDevice(const char* iface) {
    if (noClientHere || nmClient == nullptr || iface == nullptr || iface[0] == '\0') {
        return nullptr;
    }
    // A client outlives the service: while NetworkManager is away it holds
    // no devices worth asking.
    if (!nm_client_get_nm_running(nmClient)) return nullptr;
    return nm_client_get_device_by_iface(nmClient, iface);
}

NMDeviceWifi* NmGetWifiDevice(const char* iface) {
    NMDevice* device = NmGetDevice(iface);
    return (device && NM_IS_DEVICE_WIFI(device)) ? NM_DEVICE_WIFI(device) : nullptr;
}

NMDeviceState NmGetDeviceState(NMDevice* src) {
    return src ? nm_device_get_state(src) : NM_DEVICE_STATE_FAILED;
}

gint GetSize(GBytes* src) {
    return src ? static_cast<gint>(g_bytes_get_size(src)) : 0;
}

gint GetArraySize(const GPtrArray* src) {
    return src ? static_cast<gint>(src->len) : 0;
}

NMIPAddress* NmGetFirstIP(NMIPConfig* ip4) {
    if (ip4 == nullptr) return nullptr;
    GPtrArray* list = nm_ip_config_get_addresses(ip4);
    for (gint i = 0; i < GetArraySize(list); i++) {
        auto* addr = static_cast<NMIPAddress*>(g_ptr_array_index(list, i));
        if (addr) return addr;
    }
    return nullptr;
}

NMActiveConnection* NmGetActiveConnection(const gpointer device) {
    if (noClientHere || nmClient == nullptr || device == nullptr) return nullptr;
    const GPtrArray* list = nm_client_get_active_connections(nmClient);
    for (gint i = 0; i < GetArraySize(list); i++) {
        auto* conn = static_cast<NMActiveConnection*>(g_ptr_array_index(list, i));
        if (conn == nullptr ||
            nm_active_connection_get_state(conn) != NM_ACTIVE_CONNECTION_STATE_ACTIVATED) {
            continue;
        }
        const GPtrArray* devices = nm_active_connection_get_devices(conn);
        for (gint k = 0; k < GetArraySize(devices); k++) {
            if (g_ptr_array_index(devices, k) == device) return conn;
        }
    }
    return nullptr;
}

void NmRunOnLoop(void (*fn)(void*), void* arg) {
    if (!loopExpected.load(std::memory_order_acquire)) {
        bool outer = noClientHere;
        noClientHere = true;
        fn(arg);
        noClientHere = outer;
        return;
    }
    if (IsLoopThread()) {
        fn(arg);
        return;
    }
    LoopCall call;
    call.fn = fn;
    call.arg = arg;
    // Always queued (never run here, as g_main_context_invoke would do for a
    // context nobody owns yet), so libnm is only ever touched on the loop.
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, RunLoopCall, &call, nullptr);
    g_source_attach(source, nullptr);
    g_source_unref(source);
    std::unique_lock<std::mutex> wait(call.mutex);
    call.done.wait(wait, [&call] { return call.finished; });
}

NMDeviceState NmGetDeviceStateIface(const char* iface, bool* present) {
    NMDeviceState state = NM_DEVICE_STATE_FAILED;
    bool found = false;
    NmCallOnLoop([&] {
        NMDevice* device = NmGetDevice(iface);
        found = device != nullptr;
        state = NmGetDeviceState(device);
    });
    if (present) *present = found;
    return state;
}

namespace {

void CopyMacText(char* dest, NMDevice* device) {
    const char* text = NmGetMac(nullptr, device);
    snprintf(dest, 64, "%s", text ? text : "");
}

}  // namespace

const char* NmGetMacAddress(char* dest, const char* iface) {
    char text[64] = "";
    if (iface != nullptr && iface[0] != '\0') {
        if (loopExpected.load(std::memory_order_acquire)) {
            NmCallOnLoop([&] { CopyMacText(text, NmGetDevice(iface)); });
        } else {
            // MAC mode: the main thread alone, no loop; the client is made here.
            if (nmClient == nullptr) nmClient = nm_init();
            if (nmClient) CopyMacText(text, nm_client_get_device_by_iface(nmClient, iface));
        }
    }
    if (dest == nullptr) return text[0] ? g_intern_string(text) : nullptr;
    snprintf(dest, 64, "%s", text);
    return text[0] ? dest : nullptr;
}
