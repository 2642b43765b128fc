#include "network/wifi.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "wire.h"

namespace {

WifiApRecord Ap(const std::string& name, int strength) {
    WifiApRecord ap{};
    snprintf(ap.name, sizeof ap.name, "%s", name.c_str());
    ap.strength = static_cast<uchar>(strength);
    return ap;
}

// A page, checked to stay within the page buffer.
Bytes Page(const std::vector<WifiApRecord>& aps, int page, int* ends = nullptr) {
    uchar buf[kWifiPageMax + 1];
    buf[kWifiPageMax] = 0xEE;
    const int n = EncodeWifiPage(buf, aps.data(), static_cast<int>(aps.size()), page, ends);
    EXPECT_EQ(buf[kWifiPageMax], 0xEE) << "wrote past the page";
    return Bytes(buf, buf + n);
}

}  // namespace

// The class is that of the last step that matched; the text names every match.
TEST(WifiSecurity, ClassAndText) {
    const struct {
        uint32_t flags, wpa, rsn;
        int cls;
        const char* text;
    } cases[] = {
        {0, 0, 0, 0, ""},
        {1, 0, 0, 8, "WEP"},
        {1, 0, 0x100, 2, "WPA2"},
        {1, 0, 0x500, 4, "WPA2,WPA3"},
        {1, 0x100, 0x100, 2, "WPA1,WPA2"},
        {1, 0, 0x200, 16, "WPA2,802.1X"},
        {0, 0x208, 0, 16, "WPA1,802.1X"},
        {0, 0, 0x8, 0, ""},  // RSN ciphers alone name no step
    };
    for (const auto& c : cases) {
        char text[kSecurityTextSize] = {};
        EXPECT_EQ(GetWifiSecurityFlags(text, c.flags, c.wpa, c.rsn), c.cls) << c.text;
        EXPECT_STREQ(text, c.text);
    }
    EXPECT_EQ(GetWifiSecurityFlags(nullptr, 0, 0x100, 0x300) + GetWifiSecurity(nullptr, nullptr),
              16);
    EXPECT_STREQ(GetWifiSecurityClassText(3), "?");
}

TEST(WifiList, Pages) {
    WifiApRecord lab = Ap("Lab", 70);
    lab.security = 2;
    lab.channel = GetWifiChannel(2437);
    memcpy(lab.bssid, Hex("00 1A 2B 3C 4D 5E").data(), 6);
    EXPECT_EQ(Page({lab}, 1),
              Hex("10 01 02 01 01 01 0F 01 46 02 06 00 1A 2B 3C 4D 5E 4C 61 62 00"));
    EXPECT_EQ(Page({}, 1), Hex("10 01 02 00 00 00"));
    EXPECT_EQ(GetWifiChannel(5180), 36);
    // Nine networks: pages of 4, 4 and 1, numbered on across pages; the MCU
    // walks the entries by their length bytes.
    std::vector<WifiApRecord> nine;
    for (int i = 1; i <= 9; i++) nine.push_back(Ap("Net" + std::to_string(i), 90 - i));
    std::vector<int> numbers;
    for (int page = 1; page <= 3; page++) {
        int ends[4] = {};
        const Bytes p = Page(nine, page, ends);
        EXPECT_EQ(Bytes(p.begin() + 3, p.begin() + 6), (Bytes{9, static_cast<uchar>(page), 3}));
        for (size_t e = 6, k = 0; e < p.size(); e += p[e], k++) {
            numbers.push_back(p[e + 1]);
            EXPECT_EQ(ends[k], static_cast<int>(e + p[e]));
        }
        EXPECT_EQ(numbers.size(), page < 3 ? 4u * page : 9u);
    }
    EXPECT_EQ(numbers, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 8, 9}));
    EXPECT_EQ(Page({nine.begin(), nine.begin() + 4}, 1).at(5), 1);  // four fill one page
    // Over 255 networks counts and numbers keep their low 8 bits.
    const Bytes last = Page(std::vector<WifiApRecord>(300, Ap("n", 1)), 75);
    EXPECT_EQ(Bytes(last.begin() + 3, last.begin() + 8),
              (Bytes{300 & 0xFF, 75, 75, 13, 297 & 0xFF}));
}

TEST(WifiList, EntryLengthStrengthAndName) {
    const struct {
        std::string name;
        int strength, length, sent;
    } cases[] = {{"Home1", 99, 17, 99}, {std::string(32, 'x'), 101, 44, 100}, {"b", 255, 13, 100}};
    uchar buf[64];
    for (const auto& c : cases) {
        EXPECT_EQ(EncodeWifiEntry(buf, Ap(c.name, c.strength), 1), c.length) << c.name;
        EXPECT_EQ(Bytes(buf, buf + 3), (Bytes{static_cast<uchar>(c.length), 1, uchar(c.sent)}));
        EXPECT_STREQ(reinterpret_cast<char*>(buf + 11), c.name.c_str());
    }
    const uchar nulFirst[] = {0, 'x'};
    EXPECT_TRUE(IsHiddenSsid(nulFirst, 2) && IsHiddenSsid(nulFirst + 1, 0));
    EXPECT_FALSE(IsHiddenSsid(nulFirst + 1, 1));
}
