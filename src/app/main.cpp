#include "app/main.h"

#include <fcntl.h>
#include <glib-unix.h>
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/dispatch.h"
#include "app/monitor.h"
#include "common/config.h"
#include "common/log.h"
#include "common/service.h"
#include "link/byteorder.h"
#include "link/link.h"
#include "network/nm.h"
#include "shell/exec.h"

namespace {

// The desktop defaults point at a development processor on the lab's LAN.
constexpr const char* kDesktopDevice = "/dev/ttyUSB0";
constexpr const char* kDesktopHttpRoot = "http://192.168.1.100:8090";
constexpr const char* kDesktopEthName = "enp2s0";

TtyData ttyData{};

struct TextLimit {
    const char* name;
    const char* text;
    size_t limit;  // characters, without the NUL
};

// Over-long texts are refused at start-up rather than cut silently.
bool CheckTextLimits(const char* device, const char* baudr, const char* halvane_sh,
                     const char* dirac_http_root, const char* wlan_name, const char* eth_name,
                     const char* diracVersion) {
    const TextLimit limits[] = {
        {"serial device", device, kPathSize - 12},
        {"baud rate", baudr, sizeof ttyData.baudr - 1},
        {"control script path", halvane_sh, kPathSize - 1},
        {"processor base URL", dirac_http_root, kPathSize - 1},
        {"WiFi interface name", wlan_name, kIfaceSize - 1},
        {"LAN interface name", eth_name, kIfaceSize - 1},
        {"processor version", diracVersion, kDiracVersionMax},
    };
    for (const TextLimit& row : limits) {
        if (row.text != nullptr && strlen(row.text) > row.limit) {
            fprintf(stderr, "qzlinkd: %s is longer than %zu characters\n", row.name, row.limit);
            return false;
        }
    }
    return true;
}

// The timer counts milliseconds in an int and re-arms with twice the time.
constexpr long kLanResetTimeMax = INT_MAX / 2000;

// A number argument read as atoi would, but refused when it does not fit
// where it goes: atoi wraps such values silently (a LAN reset time of
// 2200000 s would fire at once).
bool IsNumberInRange(const char* name, const char* text, long lo, long hi) {
    if (text == nullptr) return true;
    errno = 0;
    const long n = strtol(text, nullptr, 10);
    if (errno != ERANGE && n >= lo && n <= hi) return true;
    fprintf(stderr, "qzlinkd: %s is out of range (%ld to %ld)\n", name, lo, hi);
    return false;
}

// Time and count of the LAN reset setting "TIME[:COUNT]".
bool CheckLanReset(const char* setting) {
    if (setting == nullptr) return true;
    const char* colon = strchr(setting, ':');
    if (colon != nullptr && !IsNumberInRange("LAN reset count", colon + 1, 0, INT_MAX)) {
        return false;
    }
    return IsNumberInRange("LAN reset time", setting, INT_MIN, kLanResetTimeMax);
}

void CopyIfGiven(char* dest, size_t size, const char* src) {
    if (src != nullptr && src[0] != '\0') snprintf(dest, size, "%s", src);
}

void ParseLanReset(char* setting) {
    if (setting == nullptr) return;
    char* colon = strchr(setting, ':');
    if (colon != nullptr) {
        *colon = '\0';
        AutoResetLanMaxCount = ToInt(colon + 1);
    }
    AutoResetLanTime = ToInt(setting);
    Log("AutoResetLanTime=%d autoResetLanCount=%d\n", AutoResetLanTime, AutoResetLanMaxCount);
}

void ConsoleTestLoop(TtyData* data) {
    char line[1024];
    // At most 1022 characters a line, so the added line feed and NUL fit.
    while (fgets(line, 1023, stdin) != nullptr) {
        const int n = static_cast<int>(strlen(line));
        if (IsQZ) {
            uchar payload[kFrameBufferSize];
            const int size = GetConsolePayload(payload, line, n);
            doSend(data, payload, size, GetLastId(data), kReportAddr, 1);
        } else {
            line[n] = '\n';
            line[n + 1] = '\0';
            doSend(data, reinterpret_cast<const uchar*>(line), n + 1, GetLastId(data), kReportAddr,
                   0);
        }
        if (strncmp(line, "exit", 4) == 0) break;
    }
}

// SIGTERM and SIGINT end the run through the main loop; SIGHUP is only
// logged (the settings are read at start, a restart applies new ones).
// GLib's signal sources, not a blocked mask and sigwait: children inherit a
// blocked mask, and a control script that cannot be stopped by SIGTERM
// would outlive a stop.
gboolean OnStopSignal(gpointer name) {
    Log("Stopping on %s.\n", static_cast<const char*>(name));
    ServiceStopping(static_cast<const char*>(name));
    NmQuit();
    return G_SOURCE_CONTINUE;
}

gboolean OnHangUp(gpointer) {
    Log("SIGHUP ignored: the settings are read at start (restart to apply new ones).\n");
    return G_SOURCE_CONTINUE;
}

void AddSignalSources() {
    g_unix_signal_add(SIGTERM, OnStopSignal, const_cast<char*>("SIGTERM"));
    g_unix_signal_add(SIGINT, OnStopSignal, const_cast<char*>("SIGINT"));
    g_unix_signal_add(SIGHUP, OnHangUp, nullptr);
}

}  // namespace

int GetConsolePayload(uchar* dest, const char* line, int size) {
    if (size > 2 && line[2] == ' ') {
        const std::string text(line, static_cast<size_t>(size));
        return FromHexText(dest, kLongPayloadMax, text.c_str(), 3);
    }
    memcpy(dest, line, static_cast<size_t>(size));
    return size;
}

int Main(const char* device, const char* baudr, int isQZ, const char* halvane_sh,
         const char* dirac_http_root, const char* wlan_name, const char* eth_name,
         int dirac_default_gain, int autoWifiScan, const char* diracVersion, int isDebug,
         char* autoResetLanTimeAndCount) {
    // A log reader that goes away must not end the daemon, nor hold it up.
    signal(SIGPIPE, SIG_IGN);
    LogStartWriter();
    GetExecDeadlineMs();  // read, and a bad value logged, at start
    if (!CheckTextLimits(device, baudr, halvane_sh, dirac_http_root, wlan_name, eth_name,
                         diracVersion) ||
        !CheckLanReset(autoResetLanTimeAndCount)) {
        return 2;
    }
    speed_t speed = GetSpeed(baudr);
    IsQZ = isQZ != 0;
    CopyIfGiven(HALVANE_SH, sizeof HALVANE_SH, halvane_sh);
    CopyIfGiven(DIRAC_HTTP_ROOT, sizeof DIRAC_HTTP_ROOT, dirac_http_root);
    CopyIfGiven(WLAN_NAME, sizeof WLAN_NAME, wlan_name);
    CopyIfGiven(ETH_NAME, sizeof ETH_NAME, eth_name);
    CopyIfGiven(cDiracVersion, kDiracVersionMax + 1, diracVersion);
    DIRAC_DEFAULT_GAIN = dirac_default_gain;
    IsDebug = isDebug;

    char path[kPathSize];
    if (device[0] >= '0' && device[0] <= '9') {
        snprintf(path, sizeof path, "/dev/ttymxc%s", device);
    } else {
        snprintf(path, sizeof path, "%s", device);
    }
    Log("Version=%s.%s %s\n%s %s(%u) %s\n%s\n%s\n%s %s\nDiracDefaultGain=%d AutoWifiScan=%d\n",
        VERSION, GetBuildDateText(), cDiracVersion, path, baudr, static_cast<unsigned>(speed),
        IsQZ ? "true" : "false", HALVANE_SH, DIRAC_HTTP_ROOT, WLAN_NAME, ETH_NAME,
        DIRAC_DEFAULT_GAIN, autoWifiScan);
    ParseLanReset(autoResetLanTimeAndCount);

    HTty fd = TtyOpen(path);
    if (fd == -1) {
        perror("open_port: Unable to open serial port - ");
        return -1;
    }
    TtyInit(fd, baudr);
    InitTtyData(&ttyData, fd, path, baudr);
    pthread_mutex_init(&StateMutex, nullptr);
    ServiceInit();
    // Before any thread starts: a stop asked for during start-up waits
    // for the loop and is not lost.
    if (isQZ < 0) AddSignalSources();
    SetLinkHandlers(handleCommand, doCheckState);
    StartThread(&ttyData.receiveThread, doReceive, &ttyData);

    if (isQZ < 0) {
        NmMain(&ttyData, WLAN_NAME, ETH_NAME, autoWifiScan);
        ExecEndChildren();
    } else {
        ConsoleTestLoop(&ttyData);
    }
    // The line stays open: the receive thread may be inside a read of it,
    // and the process ends right here, which closes it.
    Log("Test end.\n");
    LogFlush(1000);
    return 0;
}

namespace {

int VersionMode(const char* self, const char* arg) {
    if (strstr(arg, "--version") != nullptr) {
        printf("%s version=%s.%s\n", self, VERSION, GetBuildDateText());
    } else {
        printf("%s.%s\n", VERSION, GetBuildDateText());
    }
    return 0;
}

int MacMode(const char* arg) {
    char mac[256] = {0};
    const char* eq = strchr(arg, '=');
    if (eq != nullptr) {
        NmGetMacAddress(mac, eq + 1);
    } else if (NmGetMacAddress(mac, WLAN_NAME) == nullptr) {
        NmGetMacAddress(mac, ETH_NAME);
    }
    if (mac[0] == '\0') return -1;
    printf("%s", mac);
    return 0;
}

// Only -m, -m=IFACE and --mac: a device path such as /dev/qz-mcu holds "-m"
// too and must run the daemon.
bool IsMacModeArg(const char* arg) {
    return strcmp(arg, "-m") == 0 || strncmp(arg, "-m=", 3) == 0 || strcmp(arg, "--mac") == 0;
}

const char* Arg(int argc, char** argv, int k, const char* absent) {
    return argc > k ? argv[k] : absent;
}

bool CheckNumberArgs(int argc, char** argv) {
    struct NumberArg {
        int k;
        const char* name;
    };
    constexpr NumberArg kArgs[] = {
        {3, "mode"}, {8, "default gain"}, {9, "WiFi scan period"}, {11, "debug flag"}};
    for (const NumberArg& arg : kArgs) {
        if (!IsNumberInRange(arg.name, Arg(argc, argv, arg.k, nullptr), INT_MIN, INT_MAX)) {
            return false;
        }
    }
    return true;
}

// A descriptor 0-2 that came closed would go to the serial line or a pipe
// of a child: /dev/null takes its number first.
void OpenStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        int null = open("/dev/null", O_RDWR);
        if (null >= 0 && null != fd) close(null);  // only when fd got taken meanwhile
    }
}

}  // namespace

int QzMain(int argc, char** argv) {
    OpenStandardDescriptors();
    LogInit();
    // Test-only: shortens every product delay; never set on a board.
    if (const char* divisor = getenv("QZLINKD_TEST_TIME_DIVISOR")) {
        TestTimeDivisor = static_cast<unsigned>(std::max(1, ToInt(divisor)));
    }
    if (argc == 2 && (strstr(argv[1], "-v") != nullptr)) return VersionMode(argv[0], argv[1]);
    if (argc == 2 && IsMacModeArg(argv[1])) return MacMode(argv[1]);
    if (argc == 1) {
        return Main(kDesktopDevice, "115200", IsQZ ? -1 : 0, nullptr, kDesktopHttpRoot, nullptr,
                    kDesktopEthName, 0, 0, nullptr, IsDebug, nullptr);
    }
    if (!CheckNumberArgs(argc, argv)) return 2;
    const char* qz = Arg(argc, argv, 3, nullptr);
    const char* gain = Arg(argc, argv, 8, nullptr);
    const char* scan = Arg(argc, argv, 9, nullptr);
    const char* debug = Arg(argc, argv, 11, nullptr);
    return Main(Arg(argc, argv, 1, "/dev/ttymxc2"), Arg(argc, argv, 2, "115200"),
                qz ? ToInt(qz) : (IsQZ ? -1 : 0), Arg(argc, argv, 4, nullptr),
                Arg(argc, argv, 5, nullptr), Arg(argc, argv, 6, nullptr),
                Arg(argc, argv, 7, nullptr), gain ? ToInt(gain) : 0, scan ? ToInt(scan) : 0,
                Arg(argc, argv, 10, nullptr), debug ? ToInt(debug) : IsDebug,
                argc > 12 ? argv[12] : nullptr);
}
