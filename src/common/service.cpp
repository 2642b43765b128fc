#include "common/service.h"

#include <systemd/sd-daemon.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#include "common/public.h"

namespace {

bool notifyOn = false;          // written by ServiceInit only
unsigned long watchdogMs = 0;   // the same
std::atomic<unsigned long> lastPing{0};

}  // namespace

void ServiceInit() {
    const char* socket = getenv("NOTIFY_SOCKET");
    notifyOn = socket != nullptr && socket[0] != '\0';
    uint64_t usec = 0;
    watchdogMs = (notifyOn && sd_watchdog_enabled(0, &usec) > 0) ? usec / 1000 : 0;
}

unsigned long GetServiceWatchdogMs() {
    return watchdogMs;
}

void ServiceReady(const char* device) {
    if (notifyOn) sd_notifyf(0, "READY=1\nSTATUS=serving the MCU on %s", device);
}

void ServiceStatus(const char* fmt, ...) {
    if (!notifyOn) return;
    char text[1100];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    sd_notifyf(0, "STATUS=%s", text);
}

void ServiceStopping(const char* why) {
    if (notifyOn) sd_notifyf(0, "STOPPING=1\nSTATUS=stopping on %s", why);
}

void ServiceWatchdogPing() {
    if (watchdogMs == 0) return;
    const unsigned long now = TickCount();
    const unsigned long last = lastPing.load();
    if (last != 0 && now - last < watchdogMs / 2) return;
    lastPing.store(now);
    sd_notify(0, "WATCHDOG=1");
}
