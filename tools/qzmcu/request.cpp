#include "qzmcu/request.h"

#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "link/byteorder.h"
#include "processor/tables.h"
#include "qzmcu/text.h"

namespace {

// The words after a command's name, taken one by one.
struct Args {
    const std::vector<std::string>& words;
    size_t next;
};

bool HasArg(const Args& args) {
    return args.next < args.words.size();
}
const std::string& PeekArg(const Args& args) {
    return args.words[args.next];
}
const std::string& TakeArg(Args& args) {
    return args.words[args.next++];
}

typedef bool (*ParseFn)(Args& args, McuRequest* out, std::string* error);

bool Fail(std::string* error, const std::string& text) {
    *error = text;
    return false;
}

bool ToNumber(const std::string& text, long min, long max, long* value) {
    if (text.empty()) return false;
    errno = 0;
    char* end = nullptr;
    const long v = strtol(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < min || v > max) return false;
    *value = v;
    return true;
}

// A byte argument; the name goes into the error text.
bool TakeByte(Args& args, const char* name, uchar* value, std::string* error) {
    long v = 0;
    if (!HasArg(args)) return Fail(error, Format("missing %s", name));
    if (!ToNumber(TakeArg(args), 0, 255, &v))
        return Fail(error, Format("%s must be 0 to 255", name));
    *value = static_cast<uchar>(v);
    return true;
}

void Append(McuRequest* out, std::initializer_list<uchar> bytes) {
    out->payload.insert(out->payload.end(), bytes);
}

void AppendText(McuRequest* out, const std::string& text) {
    out->payload.insert(out->payload.end(), text.begin(), text.end());
    out->payload.push_back(0);
}

// ---- commands without arguments ----

struct FixedCommand {
    const char* name;
    std::array<uchar, 4> payload;
    int size;
};
constexpr FixedCommand kFixed[] = {
    {"version", {0x05, 0x0B}, 2},      {"date", {0x05, 0x0C}, 2},
    {"state", {0x13, 0x01, 0x01}, 3},  {"filters", {0x13, 0x02, 0x01}, 3},
    {"active", {0x13, 0x02, 0x15}, 3}, {"reset", {0x13, 0x03, 0x00}, 3},
    {"uuid", {0x13, 0x05, 0x05}, 3},   {"mac", {0x10, 0x04, 0x01}, 3},
    {"time", {0x10, 0x05, 0x01}, 3},   {"poweroff", {0x12, 0x01, 0x02, 0x00}, 4},
    {"update", {0x0C, 0x01}, 2},
};

const FixedCommand* FindFixed(const std::string& name) {
    for (const FixedCommand& row : kFixed) {
        if (name == row.name) return &row;
    }
    return nullptr;
}

// ---- commands with arguments ----

bool ParseFilter(Args& args, McuRequest* out, std::string* error) {
    uchar pos = 0;
    if (!TakeByte(args, "slot position", &pos, error)) return false;
    Append(out, {0x13, 0x02, 0x0B, 0x00, pos});
    return true;
}

bool ParseSelect(Args& args, McuRequest* out, std::string* error) {
    uchar pos = 0;
    if (!TakeByte(args, "slot position", &pos, error)) return false;
    if (!HasArg(args)) return Fail(error, "missing on|off");
    const std::string& sw = TakeArg(args);
    if (sw != "on" && sw != "off") return Fail(error, "filtering must be on or off");
    Append(out, {0x13, 0x02, 0x14, static_cast<uchar>(sw == "on" ? 1 : 0), pos});
    return true;
}

// A gain in dB as tenths: "-12.5" gives -125.
bool ToTenths(const std::string& text, short* tenths) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double db = strtod(text.c_str(), &end);
    if (*end != '\0' || !std::isfinite(db)) return false;
    const double t = std::round(db * 10.0);
    if (t < -32768.0 || t > 32767.0) return false;
    *tenths = static_cast<short>(t);
    return true;
}

bool ParseVolume(Args& args, McuRequest* out, std::string*) {
    short tenths = 0;
    if (HasArg(args) && ToTenths(PeekArg(args), &tenths)) {
        TakeArg(args);
        uchar gain[2];
        ShortToUChars(gain, tenths);
        Append(out, {0x13, 0x06, 0x00, gain[0], gain[1]});
    } else {
        Append(out, {0x13, 0x06, 0x01});
    }
    return true;
}

bool ParseLayout(Args& args, McuRequest* out, std::string* error) {
    uchar code = 0;
    uchar lfe = 0;
    if (!TakeByte(args, "layout code", &code, error) || !TakeByte(args, "LFE count", &lfe, error)) {
        return false;
    }
    out->payload = BuildLayoutMessage(code, lfe);
    return true;
}

bool ParseRate(Args& args, McuRequest* out, std::string* error) {
    long hz = 0;
    if (!HasArg(args) || !ToNumber(TakeArg(args), 1, 1000000, &hz))
        return Fail(error, "missing rate in Hz");
    for (int code = DECODE_FREQ_8K; code < DECODE_FREQ_MAX; code++) {
        if (GetSampleRate(static_cast<SamplingFreq_t>(code)) == hz) {
            // Bytes 2 and 3 are not read by the daemon.
            Append(out, {0x02, 0x7E, 0x00, 0x00, static_cast<uchar>(code)});
            return true;
        }
    }
    return Fail(error, Format("no sampling-frequency code for %ld Hz", hz));
}

// Identity: count A, count B, name NUL at 2, the 8-character id at 2 + B - A.
// A is the id's length and B that plus the name field, so the id follows
// the name's NUL.
constexpr size_t kDeviceIdLength = 8;
constexpr size_t kDeviceNameMax = 255 - kDeviceIdLength - 1;

bool ParseIdentity(Args& args, McuRequest* out, std::string* error) {
    if (!HasArg(args)) return Fail(error, "missing device id");
    const std::string id = TakeArg(args);
    if (id.size() != kDeviceIdLength)
        return Fail(error, "the device id must be exactly 8 characters");
    if (!HasArg(args)) return Fail(error, "missing device name");
    const std::string name = TakeArg(args);
    if (name.size() > kDeviceNameMax) return Fail(error, "device name too long");
    const uchar a = static_cast<uchar>(kDeviceIdLength);
    const uchar b = static_cast<uchar>(kDeviceIdLength + name.size() + 1);
    Append(out, {0x13, 0x05, 0x02, a, b});
    AppendText(out, name);
    out->payload.insert(out->payload.end(), id.begin(), id.end());
    return true;
}

// "00:1A:2B:3C:4D:5E" (or with dashes): six hex pairs.
bool ToBssid(const std::string& text, uchar* bssid) {
    if (text.size() != 17) return false;
    for (size_t i = 0; i < text.size(); i++) {
        const char c = text[i];
        if (i % 3 == 2 ? (c != ':' && c != '-') : !isxdigit(static_cast<unsigned char>(c)))
            return false;
    }
    return FromHexText(bssid, 6, text.c_str(), 3) == 6;
}

constexpr size_t kSsidMax = 32;
constexpr size_t kPasswordMax = 200;

bool ParseWifiConnect(Args& args, McuRequest* out, std::string* error) {
    if (!HasArg(args)) return Fail(error, "missing network name");
    const std::string ssid = TakeArg(args);
    if (ssid.empty() || ssid.size() > kSsidMax)
        return Fail(error, "network name must be 1 to 32 bytes");
    uchar bssid[6];
    if (!HasArg(args) || !ToBssid(TakeArg(args), bssid))
        return Fail(error, "missing BSSID (00:1A:2B:3C:4D:5E)");
    std::string password;
    if (HasArg(args) && !IsCommandWord(PeekArg(args))) password = TakeArg(args);
    if (password.size() > kPasswordMax) return Fail(error, "password too long");
    Append(out, {0x10, 0x02, 0x00, 0x01, static_cast<uchar>(ssid.size() + 1)});
    AppendText(out, ssid);
    out->payload.push_back(static_cast<uchar>(password.size() + 1));
    AppendText(out, password);
    out->payload.insert(out->payload.end(), bssid, bssid + 6);
    return true;
}

bool ParseWifi(Args& args, McuRequest* out, std::string* error) {
    if (!HasArg(args))
        return Fail(error, "wifi needs list, connect, disconnect, reconnect or status");
    const std::string what = TakeArg(args);
    if (what == "list")
        Append(out, {0x10, 0x01, 0x01});
    else if (what == "status")
        Append(out, {0x10, 0x02, 0x01});
    else if (what == "disconnect")
        Append(out, {0x10, 0x02, 0x00, 0x02});
    else if (what == "reconnect")
        Append(out, {0x10, 0x02, 0x00, 0x00});
    else if (what == "connect")
        return ParseWifiConnect(args, out, error);
    else
        return Fail(error, "unknown wifi command '" + what + "'");
    return true;
}

bool ParseLan(Args& args, McuRequest* out, std::string* error) {
    if (!HasArg(args)) return Fail(error, "lan needs on, off or status");
    const std::string what = TakeArg(args);
    if (what == "on")
        Append(out, {0x10, 0x03, 0x00, 0x01});
    else if (what == "off")
        Append(out, {0x10, 0x03, 0x00, 0x00});
    else if (what == "status")
        Append(out, {0x10, 0x03, 0x01});
    else
        return Fail(error, "unknown lan command '" + what + "'");
    return true;
}

bool IsDateWord(const std::string& w) {
    int y, m, d;
    char tail;
    return w.size() == 10 && sscanf(w.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) == 3;
}

// "+8", "-5", "8", "+0800": whole hours.
bool ToZoneHours(const std::string& w, int* hours) {
    long v = 0;
    const bool hasSign = !w.empty() && (w[0] == '+' || w[0] == '-');
    const std::string digits = hasSign ? w.substr(1) : w;
    if (digits.empty() || digits.size() > 4 || !ToNumber(digits, 0, 9999, &v)) return false;
    if (digits.size() > 2) {
        if (v % 100 != 0) return false;
        v /= 100;
    }
    if (v > 14) return false;
    *hours = static_cast<int>(hasSign && w[0] == '-' ? -v : v);
    return true;
}

bool ParseSetTime(Args& args, McuRequest* out, std::string* error) {
    std::tm when{};
    int zone = 0;
    if (HasArg(args) && IsDateWord(PeekArg(args))) {
        const std::string date = TakeArg(args);
        if (!HasArg(args)) return Fail(error, "missing time HH:MM:SS");
        const std::string clock = TakeArg(args);
        char tail;
        if (sscanf(date.c_str(), "%4d-%2d-%2d", &when.tm_year, &when.tm_mon, &when.tm_mday) != 3 ||
            clock.size() != 8 ||
            sscanf(clock.c_str(), "%2d:%2d:%2d%c", &when.tm_hour, &when.tm_min, &when.tm_sec,
                   &tail) != 3) {
            return Fail(error, "date and time must read YYYY-MM-DD HH:MM:SS");
        }
        when.tm_year -= 1900;
        when.tm_mon -= 1;
        if (HasArg(args) && ToZoneHours(PeekArg(args), &zone)) TakeArg(args);
    } else {
        const time_t now = time(nullptr);
        localtime_r(&now, &when);
        zone = static_cast<int>(when.tm_gmtoff / 3600);
    }
    uchar record[10];
    if (!BuildDateTimeRecord(record, when, zone)) return Fail(error, "date or time out of range");
    Append(out, {0x10, 0x05, 0x0B});
    out->payload.insert(out->payload.end(), record, record + sizeof record);
    return true;
}

// One word of hex bytes: "05", "050B", "05:0B" or "05 0B".
bool AppendHexWord(const std::string& w, std::vector<uchar>* dest) {
    std::string digits;
    for (char c : w) {
        if (c == ' ' || c == ':' || c == ',') continue;
        if (!isxdigit(static_cast<unsigned char>(c))) return false;
        digits += c;
    }
    if (digits.empty() || digits.size() % 2 != 0) return false;
    for (size_t i = 0; i < digits.size(); i += 2) {
        dest->push_back(static_cast<uchar>(fromHex(digits[i]) * 16 + fromHex(digits[i + 1])));
    }
    return true;
}

bool ParseSend(Args& args, McuRequest* out, std::string* error) {
    while (HasArg(args) && AppendHexWord(PeekArg(args), &out->payload)) TakeArg(args);
    if (out->payload.empty()) return Fail(error, "send needs hex bytes, e.g. send 05 0B");
    if (out->payload.size() > 4000) return Fail(error, "payload too long");
    return true;
}

bool ParseSleep(Args& args, McuRequest* out, std::string* error) {
    long ms = 0;
    if (!HasArg(args) || !ToNumber(TakeArg(args), 0, 600000, &ms))
        return Fail(error, "sleep needs milliseconds");
    out->sleepMs = static_cast<int>(ms);
    return true;
}

struct ArgCommand {
    const char* name;
    ParseFn parse;
};
constexpr ArgCommand kArgCommands[] = {
    {"filter", ParseFilter}, {"select", ParseSelect}, {"volume", ParseVolume},
    {"layout", ParseLayout}, {"rate", ParseRate},     {"identity", ParseIdentity},
    {"wifi", ParseWifi},     {"lan", ParseLan},       {"settime", ParseSetTime},
    {"send", ParseSend},     {"sleep", ParseSleep},
};

const ArgCommand* FindArgCommand(const std::string& name) {
    for (const ArgCommand& row : kArgCommands) {
        if (name == row.name) return &row;
    }
    return nullptr;
}

std::string JoinWords(const std::vector<std::string>& words, size_t from, size_t to) {
    std::string text;
    for (size_t i = from; i < to; i++) {
        if (!text.empty()) text += ' ';
        const std::string& w = words[i];
        text += (w.empty() || w.find_first_of(" \t\"") != std::string::npos) ? Quoted(w) : w;
    }
    return text;
}

}  // namespace

int ParseRequest(const std::vector<std::string>& words, size_t at, McuRequest* out,
                 std::string* error) {
    *out = McuRequest{};
    if (at >= words.size()) {
        *error = "missing command";
        return -1;
    }
    const std::string& name = words[at];
    Args args{words, at + 1};
    if (const FixedCommand* fixed = FindFixed(name)) {
        out->payload.assign(fixed->payload.begin(), fixed->payload.begin() + fixed->size);
    } else if (const ArgCommand* cmd = FindArgCommand(name)) {
        if (!cmd->parse(args, out, error)) return -1;
    } else {
        *error = "unknown command '" + name + "' (try help)";
        return -1;
    }
    out->text = JoinWords(words, at, args.next);
    out->answer = GetAnswerRule(out->payload.data(), static_cast<int>(out->payload.size()));
    out->needsYes = IsDangerous(out->payload.data(), static_cast<int>(out->payload.size()));
    return static_cast<int>(args.next - at);
}

namespace {

// One command given as a single argument ("filter 1").
bool ParseQuotedCommand(const std::string& text, McuRequest* out, std::string* error) {
    std::vector<std::string> words;
    if (!SplitLine(text, &words, error)) return false;
    const int used = ParseRequest(words, 0, out, error);
    if (used < 0) return false;
    if (static_cast<size_t>(used) == words.size()) return true;
    *error = "'" + text + "' holds more than one command";
    return false;
}

}  // namespace

bool ParseCommandList(const std::vector<std::string>& words, std::vector<McuRequest>* out,
                      std::string* error) {
    out->clear();
    for (size_t at = 0; at < words.size();) {
        McuRequest req;
        if (words[at].find_first_of(" \t") != std::string::npos) {
            if (!ParseQuotedCommand(words[at], &req, error)) return false;
            at++;
        } else {
            const int used = ParseRequest(words, at, &req, error);
            if (used < 0) return false;
            at += static_cast<size_t>(used);
        }
        out->push_back(req);
    }
    return true;
}

bool IsCommandWord(const std::string& word) {
    return FindFixed(word) != nullptr || FindArgCommand(word) != nullptr;
}

std::vector<uchar> BuildLayoutMessage(uchar code, uchar lfe) {
    return {0x06, 0x23, 0x02, code, lfe};
}

bool ParseLayoutOption(const std::string& text, uchar* code, uchar* lfe) {
    const size_t colon = text.find(':');
    long c = 0;
    long l = 0;
    if (colon == std::string::npos || !ToNumber(text.substr(0, colon), 0, 255, &c) ||
        !ToNumber(text.substr(colon + 1), 0, 255, &l)) {
        return false;
    }
    *code = static_cast<uchar>(c);
    *lfe = static_cast<uchar>(l);
    return true;
}

std::string DescribeLayout(uchar code, uchar lfe) {
    char label[kSpConfigTextSize] = "";
    int speakers[2] = {0, 0};
    GetSpConfigText(label, sizeof label, speakers, code, lfe);
    if (label[0] == '\0') return Format("code %d (no such layout), %d LFE", code, lfe);
    // The label pads its channel list with blanks before the figures.
    std::string channels(label);
    const size_t gap = channels.find("  ");
    if (gap != std::string::npos) channels.resize(gap);
    while (!channels.empty() && channels.back() == ' ') channels.pop_back();
    return Format("%d.%d.%d, code %d (%s)", speakers[0], lfe, speakers[1], code, channels.c_str());
}

namespace {

int DaysInMonth(int year, int month) {  // month 1..12
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    return month == 2 && leap ? 29 : kDays[month - 1];
}

// 0 = Sunday; days counted from 1970-01-01, a Thursday.
int GetWeekDay(int year, int month, int day) {
    const int y = year - (month <= 2 ? 1 : 0);
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (month + (month > 2 ? -3 : 9)) + 2) / 5 + day - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long days = static_cast<long>(era) * 146097 + doe - 719468;
    return static_cast<int>(((days + 4) % 7 + 7) % 7);
}

}  // namespace

bool BuildDateTimeRecord(uchar* record, const std::tm& when, int zoneHours) {
    const int year = when.tm_year + 1900;
    const int month = when.tm_mon + 1;
    if (year < 1900 || year > 9999 || month < 1 || month > 12 || when.tm_mday < 1 ||
        when.tm_mday > DaysInMonth(year, month) || when.tm_hour < 0 || when.tm_hour > 23 ||
        when.tm_min < 0 || when.tm_min > 59 || when.tm_sec < 0 || when.tm_sec > 60 ||
        zoneHours < -12 || zoneHours > 14) {
        return false;
    }
    record[0] = 1;  // the MCU's own time counts as synchronised
    record[1] = static_cast<uchar>(static_cast<signed char>(zoneHours));
    record[2] = static_cast<uchar>(year / 100);
    record[3] = static_cast<uchar>(year % 100);
    record[4] = static_cast<uchar>(month);
    record[5] = static_cast<uchar>(when.tm_mday);
    record[6] = static_cast<uchar>(GetWeekDay(year, month, when.tm_mday));
    record[7] = static_cast<uchar>(when.tm_hour);
    record[8] = static_cast<uchar>(when.tm_min);
    record[9] = static_cast<uchar>(when.tm_sec);
    return true;
}
