#include "qzmcu/decode.h"

#include <array>
#include <cstdio>
#include <cstring>

#include "link/byteorder.h"
#include "processor/tables.h"
#include "qzmcu/text.h"

namespace {

struct StateName {
    uchar state;
    const char* text;
};
constexpr StateName kStateNames[] = {
    {kDiracStateIdle, "idle: capture only"},
    {kDiracStateReady, "ready: command socket up"},
    {kDiracStatePlaying, "playing"},
    {kDiracStateNone, "stopped: no processor files"},
};

const char* GetDiracStateName(uchar state) {
    for (const StateName& row : kStateNames) {
        if (row.state == state) return row.text;
    }
    return "unknown";
}

std::string DescribeEnabled(uchar enabled) {
    if (enabled == 0xFF) return "filtering unknown";
    return enabled ? "filtering on" : "filtering off";
}

// The slot byte and name at p[at..]: how the filter reports show a slot.
std::string DescribeSlot(const uchar* p, int n, int at) {
    const std::string name = TextAt(p, n, at + 1);
    const uchar slot = p[at];
    if (!name.empty()) return DescribeSlotByte(slot) + " " + Quoted(name);
    if (slot == 0xFF) return "none";
    return "not listed (byte " + Format("0x%02X", slot) + ", no name)";
}

std::string SpeakerLayoutRequest(const uchar*, int) {
    return "speaker layout request";
}
std::string ResetDone(const uchar*, int) {
    return "audio reset done";
}
std::string IdentityAck(const uchar*, int) {
    return "device identity acknowledged";
}

std::string ActiveFilter(const uchar* p, int n) {
    if (n < 6) return DescribeTruncated("active filter", p, n);
    return "active filter: " + DescribeSlot(p, n, 4);
}

typedef std::string (*Decoder)(const uchar* p, int n);

struct DecodeRow {
    std::array<uchar, 3> code;
    int codeSize;
    Decoder decode;
};

// The daemon's messages to the MCU, by their code bytes.
constexpr DecodeRow kDecoders[] = {
    {{0x05, 0x12}, 2, DescribeVersion},
    {{0x05, 0x13}, 2, DescribeBuildDate},
    {{0x06, 0x23, 0x01}, 3, SpeakerLayoutRequest},
    {{0x13, 0x01, 0x02}, 3, DescribeDiracState},
    {{0x13, 0x02, 0x02}, 3, DescribeFilterReport},
    {{0x13, 0x02, 0x0C}, 3, DescribeFilterInfo},
    {{0x13, 0x02, 0x16}, 3, ActiveFilter},
    {{0x13, 0x03, 0x02}, 3, ResetDone},
    {{0x13, 0x05, 0x03}, 3, IdentityAck},
    {{0x13, 0x05, 0x06}, 3, DescribeUuid},
    {{0x13, 0x06, 0x02}, 3, DescribeMainVolume},
    {{0x10, 0x01, 0x02}, 3, DescribeWifiPage},
    {{0x10, 0x02, 0x02}, 3, DescribeWifiReport},
    {{0x10, 0x03, 0x02}, 3, DescribeLanReport},
    {{0x10, 0x04, 0x02}, 3, DescribeWifiMac},
    {{0x10, 0x05, 0x02}, 3, DescribeDateTime},
};

}  // namespace

std::string ToHexWords(const uchar* src, int size) {
    if (size <= 0) return std::string();
    std::string out(static_cast<size_t>(size) * 3, '\0');  // the NUL behind the last pair fits
    out.resize(static_cast<size_t>(ToHexText(&out[0], src, size, ' ')));
    return out;
}

std::string DescribeTruncated(const char* what, const uchar* p, int n) {
    return std::string(what) + " (truncated: " + ToHexWords(p, n) + ")";
}

std::string DescribePayload(const uchar* payload, int size) {
    if (payload == nullptr || size <= 0) return "empty payload";
    for (const DecodeRow& row : kDecoders) {
        if (size >= row.codeSize && memcmp(row.code.data(), payload, row.codeSize) == 0) {
            return row.decode(payload, size);
        }
    }
    return "unknown message " + ToHexWords(payload, size);
}

std::string DescribeSlotByte(uchar slot) {
    const uchar type = slot >> 4;
    return Format("slot %d [%s]", slot & 0x0F, GetSlotTypeName(type));
}

std::string DescribeGainTenths(short tenths) {
    const int whole = tenths / 10;
    const int frac = (tenths < 0 ? -tenths : tenths) % 10;
    // -0.5 has a whole part of 0: the sign must come from the tenths.
    return Format("%s%d.%d dB", (tenths < 0 && whole == 0) ? "-" : "", whole, frac);
}

std::string DescribeVersion(const uchar* p, int n) {
    if (n < 3) return DescribeTruncated("version", p, n);
    const std::string digits = TextAt(p, n, 2);
    bool allDigits = !digits.empty();
    for (char c : digits) allDigits = allDigits && c >= '0' && c <= '9';
    if (!allDigits) return "version " + Quoted(digits);
    std::string dotted;
    for (char c : digits) {
        if (!dotted.empty()) dotted += '.';
        dotted += c;
    }
    return "version " + dotted;
}

std::string DescribeBuildDate(const uchar* p, int n) {
    if (n < 3) return DescribeTruncated("build date", p, n);
    const std::string date = TextAt(p, n, 2);
    const int versionAt = 2 + static_cast<int>(date.size()) + 1;
    std::string shown = date;
    if (date.size() == 6) {
        shown = "20" + date.substr(0, 2) + "-" + date.substr(2, 2) + "-" + date.substr(4, 2);
    }
    const std::string version = versionAt < n ? TextAt(p, n, versionAt) : "";
    return "build date " + shown + ", processor version " +
           (version.empty() ? std::string("none") : version);
}

std::string DescribeDiracState(const uchar* p, int n) {
    if (n < 4) return DescribeTruncated("processor state", p, n);
    std::string text = Format("processor state %d (%s)", p[3], GetDiracStateName(p[3]));
    if (n >= 5) text += Format(", code %d", p[4]);
    return text;
}

std::string DescribeFilterReport(const uchar* p, int n) {
    if (n < 7) return DescribeTruncated("filters", p, n);
    return Format("filters: %s, %d slot%s, active ", DescribeEnabled(p[3]).c_str(), p[4],
                  p[4] == 1 ? "" : "s") +
           DescribeSlot(p, n, 5);
}

std::string DescribeFilterInfo(const uchar* p, int n) {
    if (n < 6) return DescribeTruncated("filter slot", p, n);
    const std::string name = TextAt(p, n, 5);
    if (name.empty()) return Format("filter slot %d: no such slot", p[4]);
    return "filter " + DescribeSlotByte(p[4]) + " " + Quoted(name);
}

std::string DescribeMainVolume(const uchar* p, int n) {
    if (n < 5) return DescribeTruncated("main volume", p, n);
    return "main volume " + DescribeGainTenths(ToShort(p + 3));
}

std::string DescribeUuid(const uchar* p, int n) {
    if (n < 4) return DescribeTruncated("uuid", p, n);
    const int len = p[3];
    if (4 + len > n) return DescribeTruncated("uuid", p, n);
    std::string text = TextAt(p, 4 + len, 4);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    return text.empty() ? std::string("uuid none") : "uuid " + Quoted(text);
}
