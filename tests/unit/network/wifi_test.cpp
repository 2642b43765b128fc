#include "network/wifi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

typedef std::vector<uchar> Bytes;

WifiApRecord Ap(const char* name, int strength, int security, int channel,
                std::initializer_list<uchar> bssid) {
    WifiApRecord ap{};
    snprintf(ap.name, sizeof ap.name, "%s", name);
    ap.strength = static_cast<uchar>(strength);
    ap.security = static_cast<uchar>(security);
    ap.channel = static_cast<uchar>(channel);
    std::copy(bssid.begin(), bssid.end(), ap.bssid);
    return ap;
}

Bytes Page(const std::vector<WifiApRecord>& aps, int page, int* ends = nullptr) {
    uchar buf[kWifiPageMax + 16];
    memset(buf, 0xEE, sizeof buf);
    int n = EncodeWifiPage(buf, aps.data(), static_cast<int>(aps.size()), page, ends);
    EXPECT_LE(n, kWifiPageMax);
    EXPECT_EQ(buf[n], 0xEE) << "wrote past the page";
    return Bytes(buf, buf + n);
}

}  // namespace

TEST(WifiSecurity, StepTable) {
    struct Case {
        uint32_t flags, wpa, rsn;
        int cls;
        const char* text;
    } cases[] = {
        {0, 0, 0, 0, ""},                                        // open
        {NM_802_11_AP_FLAGS_PRIVACY, 0, 0, 8, "WEP"},            // WEP stops at once
        {NM_802_11_AP_FLAGS_PRIVACY, 0, 0x100, 2, "WPA2"},       // WPA2 personal
        {NM_802_11_AP_FLAGS_PRIVACY, 0, 0x500, 4, "WPA2,WPA3"},  // transition mode
        {NM_802_11_AP_FLAGS_PRIVACY, 0x100, 0x100, 2, "WPA1,WPA2"},
        {NM_802_11_AP_FLAGS_PRIVACY, 0, 0x200, 16, "WPA2,802.1X"},  // WPA2 enterprise
        {0, 0x200, 0, 16, "WPA1,802.1X"},
        {0, 0, 0x400, 4, "WPA3"},
        {0, 0x8, 0, 1, "WPA1"},  // any WPA flag
        {0, 0, 0x8, 0, ""},      // RSN ciphers alone name no step
    };
    for (const Case& c : cases) {
        char text[kSecurityTextSize] = {};
        EXPECT_EQ(GetWifiSecurityFlags(text, c.flags, c.wpa, c.rsn), c.cls) << c.text;
        EXPECT_STREQ(text, c.text);
    }
    EXPECT_EQ(GetWifiSecurityFlags(nullptr, 0, 0x100, 0x300), 16);
    EXPECT_EQ(GetWifiSecurity(nullptr, nullptr), 0);
}

TEST(WifiSecurity, ClassNamesForTheConsole) {
    EXPECT_STREQ(GetWifiSecurityClassText(0), "open");
    EXPECT_STREQ(GetWifiSecurityClassText(8), "WEP");
    EXPECT_STREQ(GetWifiSecurityClassText(16), "802.1X");
    EXPECT_STREQ(GetWifiSecurityClassText(3), "?");
}

TEST(WifiChannel, FromFrequency) {
    struct Case {
        uint32_t mhz;
        int channel;
    } cases[] = {{2412, 1}, {2437, 6}, {2484, 14}, {5180, 36}, {5825, 165}};
    for (const Case& c : cases) EXPECT_EQ(GetWifiChannel(c.mhz), c.channel) << c.mhz;
}

TEST(WifiList, HiddenNames) {
    const uchar named[] = {'L', 'a', 'b'};
    const uchar nulFirst[] = {0, 'x'};
    EXPECT_FALSE(IsHiddenSsid(named, 3));
    EXPECT_TRUE(IsHiddenSsid(named, 0));
    EXPECT_TRUE(IsHiddenSsid(nulFirst, 2));
    EXPECT_TRUE(IsHiddenSsid(nullptr, 0));
}

TEST(WifiList, SingleNetworkPageOf21Bytes) {
    std::vector<WifiApRecord> aps = {Ap("Lab", 70, 2, 6, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E})};
    Bytes want = {0x10, 0x01, 0x02, 0x01, 0x01, 0x01, 0x0F, 0x01, 0x46, 0x02, 0x06,
                  0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E, 0x4C, 0x61, 0x62, 0x00};
    EXPECT_EQ(Page(aps, 1), want);
}

TEST(WifiList, EmptyList) {
    EXPECT_EQ(Page({}, 1), (Bytes{0x10, 0x01, 0x02, 0x00, 0x00, 0x00}));
}

TEST(WifiList, NineNetworksInThreePages) {
    std::vector<WifiApRecord> aps;
    for (int i = 0; i < 9; i++) {
        char name[16];
        snprintf(name, sizeof name, "Net%d", i + 1);
        aps.push_back(Ap(name, 90 - i, 0, 1, {0, 0, 0, 0, 0, static_cast<uchar>(i)}));
    }
    struct Want {
        int page;
        int entries;
        int firstNumber;
    } wants[] = {{1, 4, 1}, {2, 4, 5}, {3, 1, 9}};
    for (const Want& w : wants) {
        int ends[4] = {};
        Bytes page = Page(aps, w.page, ends);
        EXPECT_EQ(page[3], 9);
        EXPECT_EQ(page[4], w.page);
        EXPECT_EQ(page[5], 3);
        // Walk the entries by their length bytes, as the MCU does.
        int count = 0;
        for (size_t e = 6; e < page.size(); e += page[e]) {
            EXPECT_EQ(page[e], 16);  // "NetN" + 12
            EXPECT_EQ(page[e + 1], w.firstNumber + count);
            EXPECT_EQ(ends[count], static_cast<int>(e + page[e]));
            count++;
        }
        EXPECT_EQ(count, w.entries);
    }
    std::vector<WifiApRecord> four(aps.begin(), aps.begin() + 4);
    Bytes page = Page(four, 1);
    EXPECT_EQ(Bytes(page.begin() + 3, page.begin() + 6), (Bytes{4, 1, 1}));
}

TEST(WifiList, EntryLengthsStrengthCapAndNameLimit) {
    struct Case {
        std::string name;
        int strength;
        int wantLength;
        int wantStrength;
    } cases[] = {
        {"Home1", 80, 17, 80}, {std::string(32, 'x'), 100, 44, 100},
        {"a", 101, 13, 100},   {"b", 255, 13, 100},
        {"c", 0, 13, 0},       {"d", 99, 13, 99},
    };
    for (const Case& c : cases) {
        uchar buf[64];
        WifiApRecord ap = Ap(c.name.c_str(), c.strength, 0, 1, {});
        EXPECT_EQ(EncodeWifiEntry(buf, ap, 300), c.wantLength) << c.name;
        EXPECT_EQ(buf[0], c.wantLength);
        EXPECT_EQ(buf[1], 300 & 0xFF);  // running numbers keep their low 8 bits
        EXPECT_EQ(buf[2], c.wantStrength);
        EXPECT_EQ(std::string(reinterpret_cast<char*>(buf + 11)), c.name);
    }
    // A record whose name fills its area without a NUL still gives 32 bytes.
    WifiApRecord full{};
    memset(full.name, 'z', sizeof full.name);
    uchar buf[64];
    EXPECT_EQ(EncodeWifiEntry(buf, full, 1), 44);
    EXPECT_EQ(buf[43], 0);
}

TEST(WifiList, CountsKeepTheirLowBits) {
    std::vector<WifiApRecord> aps(300, Ap("n", 1, 0, 1, {}));
    Bytes last = Page(aps, 75);
    EXPECT_EQ(last[3], 300 & 0xFF);
    EXPECT_EQ(last[4], 75);
    EXPECT_EQ(last[5], 75);
    EXPECT_EQ(last[6 + 1], 297 & 0xFF);
    EXPECT_EQ(GetWifiPageCount(0), 0);
    EXPECT_EQ(GetWifiPageCount(4), 1);
    EXPECT_EQ(GetWifiPageCount(5), 2);
}

TEST(WifiScan, ClearSignalHandler) {
    gulong id = 0;
    EXPECT_FALSE(nm_clear_g_signal_handler(nullptr, &id));
    EXPECT_FALSE(nm_clear_g_signal_handler(nullptr, nullptr));
    GObject* object = static_cast<GObject*>(g_object_new(G_TYPE_OBJECT, nullptr));
    id = g_signal_connect_data(object, "notify", G_CALLBACK(+[] {}), nullptr, nullptr,
                               static_cast<GConnectFlags>(0));
    ASSERT_NE(id, 0u);
    gulong kept = id;
    EXPECT_TRUE(nm_clear_g_signal_handler(object, &id));
    EXPECT_EQ(id, 0u);
    EXPECT_FALSE(g_signal_handler_is_connected(object, kept));
    g_object_unref(object);
}
