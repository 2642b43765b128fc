#include "device/identity.h"

#include <cstring>

#include "common/log.h"
#include "link/byteorder.h"
#include "shell/exec.h"
#include "shell/script.h"

int doReportRever(TtyData* data, uchar addr) {
    const char* digits = reinterpret_cast<const char*>(CMD_REVER) + 2;
    Log("COMMAND_FUNC_RDVER: %s\n", digits);
    return SendPayload(data, addr, CMD_REVER, 3 + static_cast<int>(strlen(digits)));
}

int doReportRedate(TtyData* data, uchar addr) {
    const char* date = GetBuildDateText();
    const char* version = GetDiracVersionText();
    int size = 2 + static_cast<int>(strlen(date)) + 1 + static_cast<int>(strlen(version)) + 1;
    Log("COMMAND_FUNC_RDDATE: %s %s\n", date, version);
    return SendPayload(data, addr, CMD_REDATE, size);
}

namespace {

constexpr int kDeviceIdSize = 8;
constexpr int kUuidCapture = 512;
// The length byte is the text's length + 1, so the text stops at 254.
constexpr int kUuidTextMax = 254;

}  // namespace

bool IsDeviceInfoComplete(const uchar* body, int size) {
    if (IsNull(body) || size < 3) return false;
    const int idAt = 2 + body[1] - body[0];
    if (idAt < 0 || idAt + kDeviceIdSize > size) return false;
    return memchr(body + 2, 0, static_cast<size_t>(size - 2)) != nullptr;
}

int doDevicInfoCompleted(TtyData* data, uchar addr, const uchar* cmd, int size) {
    // The MCU's counts are not checked against the frame: refuse what would
    // read outside it.
    if (!IsDeviceInfoComplete(cmd, size)) return -1;
    char id[kDeviceIdSize + 1];
    memcpy(id, cmd + 2 + cmd[1] - cmd[0], kDeviceIdSize);
    id[kDeviceIdSize] = '\0';
    const char* name = reinterpret_cast<const char*>(cmd + 2);
    Log("DevicInfo report: %d %d ID=%s Name=%s\n", cmd[0], cmd[1], id, name);
    char line[kCommandLineSize];
    if (FormatDeviceIdNameLine(line, sizeof line, id, name) >= 0) {
        Exec(nullptr, nullptr, line);
    } else {
        // The MCU still gets its usual reply; it has no way to hear of this.
        Log("DevicInfo: name too long for the command line, not handed on\n");
    }
    const uchar reply[] = {0x13, 0x05, 0x03};
    return SendPayload(data, addr, reply, sizeof reply);
}

int doDiracUuidReport(TtyData* data, uchar addr) {
    uchar record[4 + kUuidCapture] = {0x13, 0x05, 0x06, 0x01, 0x00};
    char line[kCommandLineSize];
    char* text = reinterpret_cast<char*>(record + 4);
    int size = kUuidCapture;
    if (FormatDeviceUuidLine(line, sizeof line) >= 0) Exec(text, &size, line);
    text[kUuidTextMax] = '\0';
    const int len = static_cast<int>(strlen(text));
    record[3] = ToUChar(len + 1);
    Log("CmdDirac_UID_Report: %d %s\n", record[3], text);
    return SendPayload(data, addr, record, 4 + record[3]);
}
