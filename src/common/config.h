// The configuration globals and the fixed payloads of the command set
// (their values: config.cpp). They are written at start-up, before any
// thread starts, and only read afterwards.
#pragma once

#include <pthread.h>

#include <cstdint>

#include "common/public.h"

// Sizes of the fixed configuration texts (terminating NUL included).
constexpr int kPathSize = 1024;  // HALVANE_SH, DIRAC_HTTP_ROOT
constexpr int kIfaceSize = 32;   // WLAN_NAME, ETH_NAME
constexpr int kRecordSize = 64;  // CMD_REVER, CMD_REDATE
constexpr int kDiracVersionMax = 54;

extern uchar CMD_REVER[kRecordSize];   // the version report: 05 12, digits, NUL
extern uchar CMD_REDATE[kRecordSize];  // 05 13, build date, NUL, processor version, NUL
extern const char VERSION[6];          // dotted, from CMD_REVER's digits
extern char* cDiracVersion;            // the processor version inside CMD_REDATE

extern bool IsQZ;    // framed protocol in use
extern int IsDebug;  // frame dumps and other debug lines
extern char HALVANE_SH[kPathSize];
extern char DIRAC_HTTP_ROOT[kPathSize];
extern char WLAN_NAME[kIfaceSize];
extern char ETH_NAME[kIfaceSize];
extern int DIRAC_DEFAULT_GAIN;
extern const uint32_t DIRAC_ID;
extern int AutoResetLanTime;
extern int AutoResetLanMaxCount;

extern const uchar GET_SPEAKER_CONFIG[3];  // the daemon's speaker-layout request
extern const uchar CMD_ZEL_RESET[3];       // the audio reset's answer

// Guards the run-time state the receive thread and the state monitor share
// (the queued gain and speaker layout, the LAN switch); held for the access
// alone, never across a script run, a sleep or a send.
extern pthread_mutex_t StateMutex;

// The processor version text behind the build date (empty by default).
inline const char* GetDiracVersionText() {
    return reinterpret_cast<const char*>(CMD_REDATE) + 9;
}
// The build date text "YYMMDD".
inline const char* GetBuildDateText() {
    return reinterpret_cast<const char*>(CMD_REDATE) + 2;
}
