#include "network/connections.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/config.h"
#include "shell/script.h"
#include "wire.h"

namespace {

// A connect body: action 1, name and password fields of n and m bytes, the BSSID.
Bytes Body(const std::string& name, int n, const std::string& password, int m) {
    Bytes b = {1, static_cast<uchar>(n)};
    b.insert(b.end(), name.begin(), name.end());
    b.resize(2 + n, 0);
    b.push_back(static_cast<uchar>(m));
    b.insert(b.end(), password.begin(), password.end());
    b.resize(3 + n + m, 0);
    const Bytes bssid = Hex("00 1A 2B 3C 4D 5E");
    b.insert(b.end(), bssid.begin(), bssid.end());
    return b;
}

WifiConnectKind Parse(const Bytes& body, WifiConnectRequest* req) {
    return ParseWifiConnect(body.data(), static_cast<int>(body.size()), req);
}

void Fill(uchar* dest, const char* hex) {
    const Bytes b = Hex(hex);
    std::copy(b.begin(), b.end(), dest);
}

template <typename Fn, typename Info>
Bytes Encode(Fn encode, const Info& info) {
    uchar out[kReportSize];
    return Bytes(out, out + encode(out, info));
}

}  // namespace

TEST(WifiConnect, ShortAndHostileBodies) {
    const struct {
        const char* body;
        WifiConnectKind kind;
    } cases[] = {
        {"", kWifiConnectShort},
        {"02 09 09", kWifiDisconnect},
        {"01", kWifiReconnect},
        {"01 04 4C 61 62 00", kWifiConnectShort},                       // no password length
        {"01 04 4C 61 62 00 01 00 01 02 03 04 05", kWifiConnectShort},  // BSSID cut
        {"01 C8 4C", kWifiConnectShort},  // the name runs past the end
    };
    WifiConnectRequest req;
    for (const auto& c : cases) EXPECT_EQ(Parse(Hex(c.body), &req), c.kind) << c.body;
    EXPECT_EQ(ParseWifiConnect(nullptr, 5, &req), kWifiConnectShort);
}

TEST(WifiConnect, Lines) {
    const struct {
        Bytes body;
        bool bssidFirst;
        const char* line;
    } cases[] = {
        {Body("Lab", 4, "pw", 3), true,
         "nmcli dev wifi connect 00:1A:2B:3C:4D:5E password \"pw\" ifname mlan0 &"},
        {Body("", 1, "", 0), false, "nmcli dev wifi connect 00:1A:2B:3C:4D:5E ifname mlan0 &"},
        {Body("Lab", 4, "pw", 3), false,
         "nmcli dev wifi connect \"Lab\" password \"pw\" ifname mlan0 &"},
        // Fields without their zero end at their length; one of length 1 is empty.
        {Hex("01 03 61 62 63 01 78 00 1A 2B 3C 4D 5E"), false,
         "nmcli dev wifi connect \"abc\" ifname mlan0 &"},
        // Hostile text reaches nmcli as the very bytes the MCU sent.
        {Body("a\"; reboot; \"", 14, "$(poweroff)`id`\\", 17), false,
         "nmcli dev wifi connect \"a\\\"; reboot; \\\"\" password \"\\$(poweroff)\\`id\\`\\\\\" "
         "ifname mlan0 &"},
    };
    char line[kCommandLineSize];
    for (const auto& c : cases) {
        WifiConnectRequest req;
        ASSERT_EQ(Parse(c.body, &req), kWifiConnectTo);
        FormatWifiConnectLine(line, sizeof line, req, "mlan0", c.bssidFirst);
        EXPECT_STREQ(line, c.line);
    }
    WifiConnectRequest req;
    Parse(Body("Lab", 4, "hunter2", 8), &req);
    FormatWifiConnectLog(line, sizeof line, req);
    EXPECT_STREQ(line, "WifiConnect: 00:1A:2B:3C:4D:5E 4:Lab 8:*******\n");  // no password
    FormatWifiDisconnectLine(line, sizeof line, "mlan0", false);
    EXPECT_STREQ(line, "nmcli dev disconnect mlan0");
    FormatConnectionDeleteLine(line, sizeof line, "Caf\xC3\xA9 \"x\" $HOME");  // an id from NM
    EXPECT_STREQ(line, "nmcli con delete \"Caf\xC3\xA9 \\\"x\\\" \\$HOME\" &");
    EXPECT_EQ(FormatLanSwitchLine(line, 8, "eth0", false), -1);
}

// The handlers with no NetworkManager: the lines they run, the LAN flag.
TEST(WifiConnect, HandlersRunTheirLines) {
    InstallRecorder(nullptr);
    pthread_mutex_init(&StateMutex, nullptr);
    for (const Bytes& b : {Body("Lab", 4, "", 1), Hex("00"), Hex("02"), Hex("01 04 4C 61")}) {
        doWifiConnect(nullptr, 0x43, b.data(), static_cast<int>(b.size()), "mlan0");
    }
    EXPECT_EQ(doWifiConnect(nullptr, 0x43, nullptr, 0, "mlan0"), -1);
    for (const uchar on : {0, 1, 2}) {
        doLanConnect(nullptr, 0x43, &on, 1, "eth0");
        EXPECT_EQ(IsLanEnabled(), on == 1);
    }
    EXPECT_EQ(doLanConnect(nullptr, 0x43, nullptr, 0, "eth0"), -1);
    EXPECT_EQ(RecordedLines(), (std::vector<std::string>{
                                   "nmcli dev wifi connect 00:1A:2B:3C:4D:5E ifname mlan0 &",
                                   "nmcli dev connect mlan0 &",
                                   "nmcli dev disconnect mlan0 &",
                                   "ifconfig eth0 down &",
                                   "ifconfig eth0 up &",
                                   "ifconfig eth0 down &",
                               }));
    RemoveRecorder();
}

TEST(LinkReports, BytesOnTheWire) {
    WifiLinkInfo home, gettingAddress, noAp;
    home.netState = noAp.netState = 3;
    gettingAddress.netState = 2;
    home.hasAp = true;
    home.name = "Home";
    home.strength = 80;
    home.channel = 36;
    Fill(home.bssid, "00 1A 2B 3C 4D 5E");
    Fill(home.ip, "C0 A8 01 14");
    Fill(home.netmask, "FF FF FF 00");
    LanLinkInfo lan;
    lan.hasDevice = true;
    lan.netState = 3;
    Fill(lan.mac, "00 11 22 33 44 55");
    Fill(lan.ip, "0A 00 00 05");
    Fill(lan.netmask, "FF 00 00 00");
    LanLinkInfo settingUp = lan;
    settingUp.netState = 1;
    const uchar* none = nullptr;
    const struct {
        Bytes got;
        const char* want;
    } cases[] = {
        {Encode(EncodeWifiReport, home),
         "10 02 02 03 05 48 6F 6D 65 00 50 24 00 1A 2B 3C 4D 5E C0 A8 01 14 FF FF FF 00"},
        {Encode(EncodeWifiReport, gettingAddress), "10 02 02 02"},
        {Encode(EncodeWifiReport, noAp), "10 02 02 03"},
        {Encode(EncodeLanReport, lan),
         "10 03 02 03 00 11 22 33 44 55 0A 00 00 05 00 00 00 00 00 00 FF 00 00 00"},
        {Encode(EncodeLanReport, settingUp), "10 03 02 01 00 11 22 33 44 55"},
        {Encode(EncodeLanReport, LanLinkInfo{}), "10 03 02 00"},
        {Encode(EncodeMacReport, static_cast<const uchar*>(lan.mac)), "10 04 02 00 11 22 33 44 55"},
        {Encode(EncodeMacReport, none), "10 04 02 00 00 00 00 00 00"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.got, Hex(c.want));
    home.strength = 120;
    EXPECT_EQ(Encode(EncodeWifiReport, home).at(10), 100);
}

TEST(LinkReports, DottedAddresses) {
    uchar ip[8] = {};
    EXPECT_EQ(GetIP(ip, "300.1.2.3"), 4);
    EXPECT_EQ(GetIP(ip + 4,
                    "1.2\0"
                    "9.9"),
              4);  // the rest 0, nothing read past the NUL
    EXPECT_EQ(Bytes(ip, ip + 8), Hex("2C 01 02 03 01 02 00 00"));
    EXPECT_EQ(GetIP(ip, "") + GetIP(ip, nullptr) + NmGetIP(ip, nullptr, nullptr), 0);
}

// The monitor saw the link not active, the MCU switched the LAN off, then an
// activation already under way completed: the switch-off stands. An
// activation seen after the link was down again enables the LAN.
TEST(LanSwitch, AnActivationUnderWayDoesNotUndoASwitchOff) {
    pthread_mutex_init(&StateMutex, nullptr);
    const unsigned seen = GetLanSwitchCount();
    SetLanEnabled(false);
    SetLanEnabledUnlessSwitched(seen);
    EXPECT_FALSE(IsLanEnabled());
    SetLanEnabledUnlessSwitched(GetLanSwitchCount());
    EXPECT_TRUE(IsLanEnabled());
}
