// Decoders of the network and clock messages: WiFi list pages, the link
// reports, the WiFi MAC and the date-and-time record.
#include <cstring>

#include "link/byteorder.h"
#include "network/tables.h"
#include "qzmcu/decode.h"
#include "qzmcu/text.h"

namespace {

constexpr const char* kWeekDays[] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                     "Thursday", "Friday", "Saturday"};

std::string SecurityText(uchar cls) {
    const char* text = GetWifiSecurityClassText(cls);
    return strcmp(text, "?") == 0 ? Format("class %d", cls) : std::string(text);
}

std::string LinkState(uchar state) {
    return Format("%s (%d)", GetNetStateText(state), state);
}

std::string Address(const uchar* ip, const uchar* mask) {
    return "ip " + DescribeIPv4(ip) + "/" + DescribeIPv4(mask);
}

// One list entry at e; its length byte was checked against the page.
std::string WifiEntry(const uchar* p, int e, int len) {
    return Format("%d. %d%% %s ch %d ", p[e + 1], p[e + 2], SecurityText(p[e + 3]).c_str(),
                  p[e + 4]) +
           DescribeMac(p + e + 5) + " " + Quoted(TextAt(p, e + len, e + kWifiEntryHeader));
}

}  // namespace

std::string DescribeMac(const uchar* mac) {
    char text[18];
    ToHexText(text, mac, 6, ':');
    return text;
}

std::string DescribeIPv4(const uchar* ip) {
    return Format("%d.%d.%d.%d", ip[0], ip[1], ip[2], ip[3]);
}

std::string DescribeWifiPage(const uchar* p, int n) {
    if (n < 6) return DescribeTruncated("wifi list", p, n);
    if (p[3] == 0) return Format("wifi list: no networks (page %d/%d)", p[4], p[5]);
    std::string text =
        Format("wifi list page %d/%d, %d network%s:", p[4], p[5], p[3], p[3] == 1 ? "" : "s");
    const char* sep = " ";
    const int stop = WalkWifiPage(p, n, [&](int e, int len) {
        text += sep + WifiEntry(p, e, len);
        sep = " | ";
    });
    if (stop < n)
        text += Format("%s(bad entry at byte %d: %s)", sep, stop,
                       ToHexWords(p + stop, n - stop).c_str());
    return text;
}

std::string DescribeWifiReport(const uchar* p, int n) {
    if (n < 4) return DescribeTruncated("wifi", p, n);
    std::string text = "wifi: " + LinkState(p[3]);
    if (n == 4) return text;
    const int len = p[4];
    if (21 + len > n) return DescribeTruncated(text.c_str(), p, n);
    const uchar* after = p + 5 + len;  // strength, channel, BSSID, address, netmask
    return text + " " + Quoted(TextAt(p, 5 + len, 5)) + Format(" %d%% ch %d ", after[0], after[1]) +
           DescribeMac(after + 2) + " " + Address(after + 8, after + 12);
}

std::string DescribeLanReport(const uchar* p, int n) {
    if (n < 4) return DescribeTruncated("lan", p, n);
    std::string text = "lan: " + LinkState(p[3]);
    if (n == 4) return text + ", no device";
    if (n < 10) return DescribeTruncated(text.c_str(), p, n);
    text += " mac " + DescribeMac(p + 4);
    if (n == 10) return text;
    if (n < 24) return DescribeTruncated(text.c_str(), p, n);
    return text + " " + Address(p + 10, p + 20);
}

std::string DescribeWifiMac(const uchar* p, int n) {
    if (n < 9) return DescribeTruncated("wifi mac", p, n);
    static constexpr uchar kNone[6] = {};
    if (memcmp(p + 3, kNone, 6) == 0) return "wifi mac none";
    return "wifi mac " + DescribeMac(p + 3);
}

std::string DescribeDateTime(const uchar* p, int n) {
    if (n < 13) return DescribeTruncated("date and time", p, n);
    const int zone = static_cast<signed char>(p[4]);
    const std::string day = p[9] < 7 ? std::string(kWeekDays[p[9]]) : Format("day %d", p[9]);
    return Format("date and time %02d%02d-%02d-%02d %02d:%02d:%02d %s, zone %+d h, %s", p[5], p[6],
                  p[7], p[8], p[10], p[11], p[12], day.c_str(), zone,
                  p[3] ? "synchronised" : "not synchronised");
}
