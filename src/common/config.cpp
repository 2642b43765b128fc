#include "common/config.h"

namespace {
// The version digits are stored once; VERSION is derived from them.
constexpr char kVersionDigits[3] = {'1', '3', '4'};
}  // namespace

uchar CMD_REVER[kRecordSize] = {0x05, 0x12, kVersionDigits[0], kVersionDigits[1], kVersionDigits[2],
                                0};
uchar CMD_REDATE[kRecordSize] = {0x05, 0x13, '2', '6', '0', '7', '2', '8', 0};
const char VERSION[6] = {kVersionDigits[0], '.', kVersionDigits[1], '.', kVersionDigits[2], 0};
char* cDiracVersion = reinterpret_cast<char*>(CMD_REDATE) + 9;

bool IsQZ = true;
int IsDebug = 1;
char HALVANE_SH[kPathSize] = "/opt/qz/bin/halvane.sh";
char DIRAC_HTTP_ROOT[kPathSize] = "http://127.0.0.1:8090";
char WLAN_NAME[kIfaceSize] = "mlan0";
char ETH_NAME[kIfaceSize] = "eth0";
int DIRAC_DEFAULT_GAIN = 0;
const uint32_t DIRAC_ID = 8090;
int AutoResetLanTime = 0;
int AutoResetLanMaxCount = 3;

const uchar GET_SPEAKER_CONFIG[3] = {0x06, 0x23, 0x01};
const uchar CMD_ZEL_RESET[3] = {0x13, 0x03, 0x02};

pthread_mutex_t StateMutex = PTHREAD_MUTEX_INITIALIZER;
