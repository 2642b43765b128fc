#include "network/connections.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/config.h"
#include "processor/exec.h"
#include "processor/script.h"
#include "wire.h"

namespace {

// The shared recording runner for one test.
struct ExecRecorder {
    ExecRecorder() { InstallRecorder(nullptr); }
    ~ExecRecorder() { RemoveRecorder(); }
};
std::vector<std::string>& execLines = RecordedLines();

Bytes Body(uchar action, const std::string& name, int n, const std::string& password, int m,
           Bytes bssid = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}) {
    Bytes b = {action, static_cast<uchar>(n)};
    b.insert(b.end(), name.begin(), name.end());
    b.resize(2 + n, 0);
    b.push_back(static_cast<uchar>(m));
    b.insert(b.end(), password.begin(), password.end());
    b.resize(3 + n + m, 0);
    b.insert(b.end(), bssid.begin(), bssid.end());
    return b;
}

std::string ConnectLine(const Bytes& body, bool bssidFirst) {
    WifiConnectRequest req;
    EXPECT_EQ(ParseWifiConnect(body.data(), static_cast<int>(body.size()), &req), kWifiConnectTo);
    char line[kCommandLineSize];
    EXPECT_GT(FormatWifiConnectLine(line, sizeof line, req, "mlan0", bssidFirst), 0);
    return line;
}

}  // namespace

TEST(GetIP, DottedText) {
    struct Case {
        const char* text;
        int result;
        Bytes want;
    } cases[] = {
        {"192.168.1.20", 4, {192, 168, 1, 20}},
        {"300.1.2.3", 4, {44, 1, 2, 3}},
        {"10.0.0.5", 4, {10, 0, 0, 5}},
        {"1.2", 4, {1, 2, 0, 0}},  // missing parts read as 0
        {"7", 4, {7, 0, 0, 0}},
        {"1.2.3.", 4, {1, 2, 3, 0}},
        {"", 0, {0xEE, 0xEE, 0xEE, 0xEE}},
        {nullptr, 0, {0xEE, 0xEE, 0xEE, 0xEE}},
    };
    for (const Case& c : cases) {
        uchar ip[4] = {0xEE, 0xEE, 0xEE, 0xEE};
        EXPECT_EQ(GetIP(ip, c.text), c.result) << (c.text ? c.text : "null");
        EXPECT_EQ(Bytes(ip, ip + 4), c.want) << (c.text ? c.text : "null");
    }
    // The parts stop at the end of a text that is not terminated by a dot.
    char text[] = {'1', '.', '2', '\0', '9', '.', '9'};
    uchar ip[4];
    GetIP(ip, text);
    EXPECT_EQ(Bytes(ip, ip + 4), (Bytes{1, 2, 0, 0}));
}

TEST(WifiConnectBody, Kinds) {
    struct Case {
        Bytes body;
        WifiConnectKind kind;
    } cases[] = {
        {{}, kWifiConnectShort},
        {{2}, kWifiDisconnect},
        {{2, 9, 9}, kWifiDisconnect},
        {{0}, kWifiReconnect},
        {{1}, kWifiReconnect},
        {{1, 4, 'L', 'a', 'b', 0}, kWifiConnectShort},                       // no password length
        {{1, 4, 'L', 'a', 'b', 0, 1, 0, 1, 2, 3, 4, 5}, kWifiConnectShort},  // BSSID cut
        {{1, 200, 'L'}, kWifiConnectShort},  // name runs past the end
        {Body(1, "Lab", 4, "", 1), kWifiConnectTo},
    };
    for (const Case& c : cases) {
        WifiConnectRequest req;
        EXPECT_EQ(ParseWifiConnect(c.body.data(), static_cast<int>(c.body.size()), &req), c.kind)
            << ::testing::PrintToString(c.body);
    }
    WifiConnectRequest req;
    EXPECT_EQ(ParseWifiConnect(nullptr, 5, &req), kWifiConnectShort);
}

TEST(WifiConnectBody, Fields) {
    WifiConnectRequest req;
    Bytes body = Body(1, "Home", 5, "secret", 7);
    ASSERT_EQ(ParseWifiConnect(body.data(), static_cast<int>(body.size()), &req), kWifiConnectTo);
    EXPECT_EQ(req.n, 5);
    EXPECT_STREQ(req.name, "Home");
    EXPECT_EQ(req.m, 7);
    EXPECT_STREQ(req.password, "secret");
    EXPECT_EQ(Bytes(req.bssid, req.bssid + 6), (Bytes{0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}));
    // A field without its zero ends at its length; one of length 1 is empty.
    Bytes raw = {1, 3, 'a', 'b', 'c', 1, 'x', 1, 2, 3, 4, 5, 6};
    ASSERT_EQ(ParseWifiConnect(raw.data(), static_cast<int>(raw.size()), &req), kWifiConnectTo);
    EXPECT_STREQ(req.name, "abc");
    EXPECT_STREQ(req.password, "");
}

TEST(WifiConnectLine, Table) {
    struct Case {
        Bytes body;
        bool bssidFirst;
        const char* line;
    } cases[] = {
        {Body(1, "Lab", 4, "", 1), true, "nmcli dev wifi connect 00:1A:2B:3C:4D:5E ifname mlan0 &"},
        {Body(1, "Lab", 4, "pw", 3), true,
         "nmcli dev wifi connect 00:1A:2B:3C:4D:5E password \"pw\" ifname mlan0 &"},
        {Body(1, "", 1, "", 0), false, "nmcli dev wifi connect 00:1A:2B:3C:4D:5E ifname mlan0 &"},
        {Body(1, "Lab", 4, "", 1), false, "nmcli dev wifi connect \"Lab\" ifname mlan0 &"},
        {Body(1, "Lab", 4, "pw", 3), false,
         "nmcli dev wifi connect \"Lab\" password \"pw\" ifname mlan0 &"},
        // Hostile text arrives at nmcli as the very bytes the MCU sent.
        {Body(1, "a\"; reboot; \"", 14, "$(poweroff)`id`\\", 17), false,
         "nmcli dev wifi connect \"a\\\"; reboot; \\\"\" password \"\\$(poweroff)\\`id\\`\\\\\" "
         "ifname mlan0 &"},
    };
    for (const Case& c : cases) EXPECT_EQ(ConnectLine(c.body, c.bssidFirst), c.line);
}

TEST(WifiConnectLine, OtherLines) {
    char line[kCommandLineSize];
    FormatWifiDisconnectLine(line, sizeof line, "mlan0", true);
    EXPECT_STREQ(line, "nmcli dev disconnect mlan0 &");
    FormatWifiDisconnectLine(line, sizeof line, "mlan0", false);
    EXPECT_STREQ(line, "nmcli dev disconnect mlan0");
    FormatConnectionDeleteLine(line, sizeof line, "Caf\xC3\xA9 \"x\" $HOME");
    EXPECT_STREQ(line, "nmcli con delete \"Caf\xC3\xA9 \\\"x\\\" \\$HOME\" &");
    FormatWifiReconnectLine(line, sizeof line, "mlan0");
    EXPECT_STREQ(line, "nmcli dev connect mlan0 &");
    FormatLanSwitchLine(line, sizeof line, "eth0", true);
    EXPECT_STREQ(line, "ifconfig eth0 up &");
    FormatLanSwitchLine(line, sizeof line, "eth0", false);
    EXPECT_STREQ(line, "ifconfig eth0 down &");
    EXPECT_EQ(FormatLanSwitchLine(line, 8, "eth0", false), -1);
}

TEST(WifiConnectLog, PasswordAsAsterisks) {
    WifiConnectRequest req;
    Bytes body = Body(1, "Lab", 4, "hunter2", 8);
    ParseWifiConnect(body.data(), static_cast<int>(body.size()), &req);
    char line[512];
    FormatWifiConnectLog(line, sizeof line, req);
    EXPECT_STREQ(line, "WifiConnect: 00:1A:2B:3C:4D:5E 4:Lab 8:*******\n");
    body = Body(1, "Lab", 4, "", 1);
    ParseWifiConnect(body.data(), static_cast<int>(body.size()), &req);
    FormatWifiConnectLog(line, sizeof line, req);
    EXPECT_STREQ(line, "WifiConnect: 00:1A:2B:3C:4D:5E 4:Lab 1:\n");
}

TEST(WifiConnectCommand, RunsTheLines) {
    ExecRecorder rec;
    snprintf(WLAN_NAME, sizeof WLAN_NAME, "mlan0");
    Bytes connect = Body(1, "Lab", 4, "", 1);
    doWifiConnect(nullptr, 0x43, connect.data(), static_cast<int>(connect.size()), WLAN_NAME);
    const uchar reconnect[] = {0};
    doWifiConnect(nullptr, 0x43, reconnect, 1, WLAN_NAME);
    const uchar disconnect[] = {2};
    doWifiConnect(nullptr, 0x43, disconnect, 1, WLAN_NAME);  // no device: no connection
    const uchar cut[] = {1, 4, 'L', 'a'};
    EXPECT_EQ(doWifiConnect(nullptr, 0x43, cut, 4, WLAN_NAME), -1);
    EXPECT_EQ(doWifiConnect(nullptr, 0x43, nullptr, 0, WLAN_NAME), -1);
    EXPECT_EQ(execLines, (std::vector<std::string>{
                             "nmcli dev wifi connect 00:1A:2B:3C:4D:5E ifname mlan0 &",
                             "nmcli dev connect mlan0 &",
                             "nmcli dev disconnect mlan0 &",
                         }));
}

TEST(LanSwitch, FlagAndLine) {
    ExecRecorder rec;
    pthread_mutex_init(&StateMutex, nullptr);
    struct Case {
        uchar byte;
        bool enabled;
        const char* line;
    } cases[] = {{1, true, "ifconfig eth0 up &"},
                 {0, false, "ifconfig eth0 down &"},
                 {2, false, "ifconfig eth0 down &"},
                 {1, true, "ifconfig eth0 up &"}};
    for (const Case& c : cases) {
        execLines.clear();
        doLanConnect(nullptr, 0x43, &c.byte, 1, "eth0");
        EXPECT_EQ(IsLanEnabled(), c.enabled);
        EXPECT_EQ(execLines, std::vector<std::string>{c.line});
    }
    execLines.clear();
    EXPECT_EQ(doLanConnect(nullptr, 0x43, nullptr, 0, "eth0"), -1);
    EXPECT_TRUE(execLines.empty());
}

TEST(NetLine, ControlScriptReset) {
    ExecRecorder rec;
    snprintf(HALVANE_SH, sizeof HALVANE_SH, "/opt/qz/bin/halvane.sh");
    doNet("eth0", "reset");
    EXPECT_EQ(execLines, std::vector<std::string>{"/opt/qz/bin/halvane.sh net eth0 reset &"});
}

TEST(LinkReports, WifiExamples) {
    uchar out[kReportSize];
    WifiLinkInfo home;
    home.netState = 3;
    home.hasAp = true;
    home.name = "Home";
    home.strength = 80;
    home.channel = 36;
    const uchar bssid[6] = {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E};
    memcpy(home.bssid, bssid, 6);
    const uchar ip[4] = {192, 168, 1, 20}, mask[4] = {255, 255, 255, 0};
    memcpy(home.ip, ip, 4);
    memcpy(home.netmask, mask, 4);
    int n = EncodeWifiReport(out, home);
    EXPECT_EQ(Bytes(out, out + n), (Bytes{0x10, 0x02, 0x02, 0x03, 0x05, 0x48, 0x6F, 0x6D, 0x65,
                                          0x00, 0x50, 0x24, 0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E,
                                          0xC0, 0xA8, 0x01, 0x14, 0xFF, 0xFF, 0xFF, 0x00}));
    home.strength = 120;
    EncodeWifiReport(out, home);
    EXPECT_EQ(out[5 + 5], 100);

    WifiLinkInfo gettingAddress;
    gettingAddress.netState = 2;
    n = EncodeWifiReport(out, gettingAddress);
    EXPECT_EQ(Bytes(out, out + n), (Bytes{0x10, 0x02, 0x02, 0x02}));
    WifiLinkInfo noAp;
    noAp.netState = 3;
    n = EncodeWifiReport(out, noAp);
    EXPECT_EQ(Bytes(out, out + n), (Bytes{0x10, 0x02, 0x02, 0x03}));
    WifiLinkInfo huge = home;
    huge.name = std::string(400, 'n');
    EXPECT_EQ(EncodeWifiReport(out, huge), kReportSize);
}

TEST(LinkReports, LanExamples) {
    uchar out[kReportSize];
    LanLinkInfo lan;
    lan.hasDevice = true;
    lan.netState = 3;
    const uchar mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    memcpy(lan.mac, mac, 6);
    const uchar ip[4] = {10, 0, 0, 5}, mask[4] = {255, 0, 0, 0};
    memcpy(lan.ip, ip, 4);
    memcpy(lan.netmask, mask, 4);
    int n = EncodeLanReport(out, lan);
    EXPECT_EQ(Bytes(out, out + n),
              (Bytes{0x10, 0x03, 0x02, 0x03, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x0A, 0x00,
                     0x00, 0x05, 0,    0,    0,    0,    0,    0,    0xFF, 0x00, 0x00, 0x00}));
    lan.netState = 1;
    n = EncodeLanReport(out, lan);
    EXPECT_EQ(Bytes(out, out + n),
              (Bytes{0x10, 0x03, 0x02, 0x01, 0x00, 0x11, 0x22, 0x33, 0x44, 0x55}));
    n = EncodeLanReport(out, LanLinkInfo{});
    EXPECT_EQ(Bytes(out, out + n), (Bytes{0x10, 0x03, 0x02, 0x00}));
}

TEST(LinkReports, Mac) {
    uchar out[kReportSize];
    const uchar mac[6] = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66};
    int n = EncodeMacReport(out, mac);
    EXPECT_EQ(Bytes(out, out + n), (Bytes{0x10, 0x04, 0x02, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66}));
    n = EncodeMacReport(out, nullptr);
    EXPECT_EQ(Bytes(out, out + n), (Bytes{0x10, 0x04, 0x02, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(NmGetMac(out, nullptr), nullptr);
    EXPECT_EQ(NmGetIP(out, out, nullptr), 0);
}

TEST(LinkReports, IPFromLibnmAddress) {
    GError* error = nullptr;
    NMIPAddress* addr = nm_ip_address_new(AF_INET, "192.168.1.20", 24, &error);
    ASSERT_NE(addr, nullptr);
    uchar ip[4] = {}, mask[4] = {};
    EXPECT_EQ(NmGetIP(ip, mask, addr), 4);
    EXPECT_EQ(Bytes(ip, ip + 4), (Bytes{192, 168, 1, 20}));
    EXPECT_EQ(Bytes(mask, mask + 4), (Bytes{255, 255, 255, 0}));
    nm_ip_address_unref(addr);
}
