// Process entry: the modes of the command line, the start-up, the banner and
// the console test loop.
#pragma once

#include "common/public.h"

// The twelve positional settings; null texts mean "not given".
int Main(const char* device, const char* baudr, int isQZ, const char* halvane_sh,
         const char* dirac_http_root, const char* wlan_name, const char* eth_name,
         int dirac_default_gain, int autoWifiScan, const char* diracVersion, int isDebug,
         char* autoResetLanTimeAndCount);

// The whole of main(): picks version mode, MAC mode or a run.
int QzMain(int argc, char** argv);

// A line typed in the framed console test: hex text when its third
// character is a blank ("05 0B 00": the pairs at 0, 3, 6, ..., a lone last
// digit the high one), else its bytes as they are. Writes the payload into
// dest (kFrameBufferSize bytes) and returns its length.
int GetConsolePayload(uchar* dest, const char* line, int size);
