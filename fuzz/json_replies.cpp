// Fuzz target: the processor's replies and the MCU's request bodies.
//
// Byte 0 picks a case; the rest is the request's parameters and the
// control script's replies (see FuzzInstallScript):
//   filter report, filter info, current filter, select filter, main volume
//   get and set, UUID: the JSON readers behind the handlers, with the
//   reply shapes and the defaults of failed requests checked;
//   device identity, date setting, WiFi connect: the request bodies, with
//   the words the shell gets checked against the body;
//   WiFi list page from the MCU: the entry walk (nothing is sent);
//   JSON text: the readers called directly.
#include <cstring>
#include <string>
#include <vector>

#include "app/dispatch.h"
#include "common/config.h"
#include "device/identity.h"
#include "fuzz_support.h"
#include "network/connections.h"
#include "processor/filters.h"
#include "processor/gain.h"
#include "processor/json.h"

namespace {

TestLine line;

std::vector<WireFrame> Request(std::vector<uchar> cmd) {
    ClearScriptCalls();
    handleCommand(&line.tty, 0x34, 1, cmd.data(), static_cast<int>(cmd.size()));
    return FuzzSent(&line);
}

std::vector<uchar> OneReply(const std::vector<WireFrame>& frames, const std::vector<uchar>& head) {
    if (frames.size() != 1) FuzzFail("%zu replies, expected one", frames.size());
    const std::vector<uchar>& p = frames[0].payload;
    if (p.size() < head.size() || !std::equal(head.begin(), head.end(), p.begin())) {
        FuzzFail("reply does not start with the expected code bytes");
    }
    return p;
}

// The name from nameAt on runs to the one NUL that ends the payload.
void CheckNameTail(const std::vector<uchar>& p, size_t nameAt) {
    if (p.size() <= nameAt || p.back() != 0)
        FuzzFail("reply of %zu bytes lacks its name's NUL", p.size());
    if (memchr(p.data() + nameAt, 0, p.size() - nameAt - 1) != nullptr)
        FuzzFail("NUL inside the name");
}

bool Failed(const ScriptCall& call) {
    return call.status != 0 || call.reply.empty();
}

bool AllCapturedFailed() {
    for (const ScriptCall& call : ScriptCalls()) {
        if (call.captured && !Failed(call)) return false;
    }
    return true;
}

void Expect(const std::vector<uchar>& got, const std::vector<uchar>& want, const char* what) {
    if (got != want) FuzzFail("%s: reply differs from the defaults of a failed request", what);
}

const ScriptCall* FindCall(const char* needle) {
    for (const ScriptCall& call : ScriptCalls()) {
        if (call.line.find(needle) != std::string::npos) return &call;
    }
    return nullptr;
}

void FilterReport(FuzzInput*) {
    const auto p = OneReply(Request({0x13, 0x02, 0x01}), {0x13, 0x02, 0x02});
    CheckNameTail(p, 6);
    if (AllCapturedFailed()) Expect(p, {0x13, 0x02, 0x02, 0xFF, 0x00, 0xFF, 0x00}, "filter report");
    const ScriptCall* list = FindCall("/api/list-slots");
    if (list != nullptr && Failed(*list) && (p[4] != 0 || p.size() != 7))
        FuzzFail("slots without a list");
}

void FilterInfo(FuzzInput* in) {
    const uchar pos = TakeByte(in);
    const auto p = OneReply(Request({0x13, 0x02, 0x0B, 0x00, pos}), {0x13, 0x02, 0x0C, 0x00});
    CheckNameTail(p, 5);
    if (AllCapturedFailed()) Expect(p, {0x13, 0x02, 0x0C, 0x00, pos, 0x00}, "filter info");
    if (p[4] != pos && (p[4] & 0x0F) != (pos & 0x0F)) FuzzFail("slot byte names another position");
}

void CurrentFilter(FuzzInput*) {
    const auto p = OneReply(Request({0x13, 0x02, 0x15}), {0x13, 0x02, 0x16, 0x00});
    CheckNameTail(p, 5);
    if (AllCapturedFailed()) Expect(p, {0x13, 0x02, 0x16, 0x00, 0xFF, 0x00}, "current filter");
}

void SelectFilter(FuzzInput* in) {
    const uchar enabled = TakeByte(in);
    const uchar pos = TakeByte(in);
    const auto p = OneReply(Request({0x13, 0x02, 0x14, enabled, pos}), {0x13, 0x02, 0x02});
    CheckNameTail(p, 6);
    const ScriptCall* put = FindCall("/api/filtering?");
    const char* want = enabled != 0 ? "?enabled=1&id=8090" : "?enabled=0&id=8090";
    if (put == nullptr || put->line.find(want) == std::string::npos)
        FuzzFail("filtering put wrong");
}

void GainReplyCheck(const std::vector<uchar>& p) {
    if (p.size() != 5) FuzzFail("gain reply of %zu bytes", p.size());
    const short tenths = static_cast<short>(p[3] << 8 | p[4]);
    if (tenths % 10 != 0) FuzzFail("gain %d is no whole dB", tenths);
}

void MainVolume(FuzzInput*) {
    const auto p = OneReply(Request({0x13, 0x06, 0x01}), {0x13, 0x06, 0x02});
    GainReplyCheck(p);
    if (AllCapturedFailed()) Expect(p, {0x13, 0x06, 0x02, 0xFE, 0x8E}, "main volume");
}

void MainVolumeSet(FuzzInput* in) {
    const uchar hi = TakeByte(in);
    const uchar lo = TakeByte(in);
    if (!Request({0x13, 0x06, 0x00, hi, lo}).empty()) FuzzFail("a volume set answered at once");
    ClearScriptCalls();
    doCheckDiracGain(&line.tty);
    GainReplyCheck(OneReply(FuzzSent(&line), {0x13, 0x06, 0x02}));
    const short tenths = static_cast<short>(hi << 8 | lo);
    const std::string want = "/api/speaker?gain=" + std::to_string(tenths / 10) + "&id=8090";
    if (FindCall(want.c_str()) == nullptr) FuzzFail("speaker put lacks %s", want.c_str());
}

void Uuid(FuzzInput*) {
    const auto p = OneReply(Request({0x13, 0x05, 0x05}), {0x13, 0x05, 0x06});
    if (p.size() < 5 || p.size() != 4u + p[3])
        FuzzFail("UUID length byte %d for %zu bytes", p[3], p.size());
    CheckNameTail(p, 4);
    // The exit status is not looked at: the text is whatever came, up to a
    // NUL, at most 254 characters (the length byte counts its NUL).
    const ScriptCall* call = FindCall("device uuid");
    std::string text = call != nullptr ? call->reply.substr(0, call->reply.find('\0')) : "";
    if (text.size() > 254) text.resize(254);
    std::vector<uchar> want = {0x13, 0x05, 0x06, static_cast<uchar>(text.size() + 1)};
    want.insert(want.end(), text.begin(), text.end());
    want.push_back(0);
    if (p != want) FuzzFail("UUID reply is not the captured text");
}

void DeviceIdentity(FuzzInput* in) {
    std::string body = TakeBytes(in, in->size);
    std::vector<uchar> cmd = {0x13, 0x05, 0x02};
    cmd.insert(cmd.end(), body.begin(), body.end());
    std::vector<WireFrame> frames = Request(cmd);
    const auto* b = reinterpret_cast<const uchar*>(body.data());
    if (!IsDeviceInfoComplete(b, static_cast<int>(body.size()))) {
        if (!frames.empty() || !ScriptCalls().empty()) FuzzFail("short identity acted on");
        return;
    }
    OneReply(frames, {0x13, 0x05, 0x03});
    if (frames[0].payload.size() != 3) FuzzFail("identity reply not 3 bytes");
    const size_t idAt = 2 + b[1] - b[0];
    const std::string id(reinterpret_cast<const char*>(b + idAt),
                         strnlen(reinterpret_cast<const char*>(b + idAt), 8));
    const std::string name(reinterpret_cast<const char*>(b + 2));
    const std::vector<std::string> want = {HALVANE_SH, "device", "id_name", id, name, "&"};
    // A line that cannot hold the escaped texts is not run at all.
    if (ScriptCalls().empty() && name.size() > 1000) return;
    if (ScriptCalls().size() != 1 || ShellWords(ScriptCalls()[0].line) != want) {
        FuzzFail("identity line does not hand on the id and name as they came");
    }
}

void DateSet(FuzzInput* in) {
    std::string record = TakeBytes(in, 12);
    std::vector<uchar> cmd = {0x10, 0x05, 0x0B};
    cmd.insert(cmd.end(), record.begin(), record.end());
    if (!Request(cmd).empty()) FuzzFail("a date set answered");
    const auto& calls = ScriptCalls();
    if (record.size() < 10) {
        if (!calls.empty()) FuzzFail("a short date record was run");
        return;
    }
    if (calls.size() != 1) FuzzFail("%zu date lines", calls.size());
    const std::vector<std::string> words = ShellWords(calls[0].line);
    if (words.size() != 3 || words[0] != "date" || words[1] != "-s")
        FuzzFail("date line: %s", calls[0].line.c_str());
}

// The text of a name or password field as nmcli must get it.
std::string FieldText(const uchar* src, int length) {
    if (length < 2) return "";
    return std::string(reinterpret_cast<const char*>(src),
                       strnlen(reinterpret_cast<const char*>(src), static_cast<size_t>(length)));
}

void WifiConnect(FuzzInput* in) {
    std::string body = TakeBytes(in, in->size);
    std::vector<uchar> cmd = {0x10, 0x02, 0x00};
    cmd.insert(cmd.end(), body.begin(), body.end());
    if (!Request(cmd).empty()) FuzzFail("a WiFi connect answered");
    WifiConnectRequest req;
    const auto* b = reinterpret_cast<const uchar*>(body.data());
    const WifiConnectKind kind = ParseWifiConnect(b, static_cast<int>(body.size()), &req);
    const auto& calls = ScriptCalls();
    if (kind == kWifiConnectShort) {
        if (!calls.empty()) FuzzFail("a short connect body ran a command");
        return;
    }
    if (calls.size() != 1) FuzzFail("%zu nmcli lines", calls.size());
    if (kind != kWifiConnectTo) return;
    const int n = b[1];
    const int m = b[2 + n];
    if (FieldText(b + 2, n) != req.name || FieldText(b + 3 + n, m) != req.password) {
        FuzzFail("connect fields read wrong");
    }
    char bssid[18];
    snprintf(bssid, sizeof bssid, "%02X:%02X:%02X:%02X:%02X:%02X", b[3 + n + m], b[4 + n + m],
             b[5 + n + m], b[6 + n + m], b[7 + n + m], b[8 + n + m]);
    std::vector<std::string> want = {"nmcli", "dev", "wifi", "connect", bssid};
    if (m >= 2) {
        want.push_back("password");
        want.push_back(req.password);
    }
    want.push_back("ifname");
    want.push_back(WLAN_NAME);
    want.push_back("&");
    if (ShellWords(calls[0].line) != want) FuzzFail("nmcli line: %s", calls[0].line.c_str());
}

void WifiPage(FuzzInput* in) {
    std::string body = TakeBytes(in, in->size);
    std::vector<uchar> cmd = {0x10, 0x01, 0x02};
    cmd.insert(cmd.end(), body.begin(), body.end());
    if (!Request(cmd).empty() || !ScriptCalls().empty()) FuzzFail("a received list page acted on");
}

void JsonText(FuzzInput* in) {
    const size_t destSize = 1 + TakeByte(in) % 64;
    const uchar wanted = TakeByte(in);
    const bool byIndex = TakeByte(in) & 1;
    std::string text = TakeBytes(in, in->size);
    JsonPtr json(ToJsonObject(text.c_str()));
    const int count = GetJsonArrayLength(json.get());
    for (int i = -1; i <= count; ++i) {
        JsonObject* item = GetJsonItem(json.get(), i);
        GetSlotTypeCode(GetJsonObjectText(item, "filter_type"));
        GetJsonObjectText(item, "name");
        GetJsonObjectValue(item, "index", i);
    }
    const int gain = ToGainDb(GetJsonObjectDouble(json.get(), "gain", -37.0));
    if (gain < -3276 || gain > 3276) FuzzFail("gain %d dB does not fit the line", gain);
    GetJsonObjectValue(json.get(), "enabled", 255);
    std::vector<uchar> dest(destSize, 0xAA);
    uchar index = wanted;
    doGetDiracSlotInfo(dest.data(), dest.size(), json.get(), &index, byIndex, false);
    if (memchr(dest.data(), 0, dest.size()) == nullptr)
        FuzzFail("slot name not terminated in its area");
}

typedef void (*Case)(FuzzInput* in);
constexpr Case kCases[] = {
    FilterReport, FilterInfo,     CurrentFilter, SelectFilter, MainVolume, MainVolumeSet,
    Uuid,         DeviceIdentity, DateSet,       WifiConnect,  WifiPage,   JsonText,
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FuzzQuietLog();
    OpenTestLine(&line);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in{data, size, 0};
    const Case run = kCases[TakeByte(&in) % (sizeof kCases / sizeof kCases[0])];
    FuzzInstallScript(&in);
    run(&in);
    return 0;
}
