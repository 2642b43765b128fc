// What the service manager (systemd) is told: ready, a status line a person
// reads in "systemctl status", stopping, and the watchdog's pings. Outside
// systemd (no NOTIFY_SOCKET) every call is the test of one flag.
#pragma once

// Reads the service manager's settings; once, before any thread starts.
void ServiceInit();

// The watchdog's period in ms, 0 when no watchdog expects pings.
unsigned long GetServiceWatchdogMs();

// READY=1 with the status line naming the line to the MCU.
void ServiceReady(const char* device);
// STATUS=: printf-style, one line.
void ServiceStatus(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// STOPPING=1 with the reason as status.
void ServiceStopping(const char* why);
// WATCHDOG=1, at most every half period: call it as often as the workers
// are found healthy.
void ServiceWatchdogPing();

// A worker inside one step since `since` (a TickCount; 0 while it waits
// for work) makes progress while that step is younger than limitMs.
inline bool IsStepInTime(unsigned long now, unsigned long since, unsigned long limitMs) {
    return since == 0 || now - since < limitMs;
}
