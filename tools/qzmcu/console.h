// The MCU console's run: the line (a serial device or a pseudo-terminal of
// its own), the frame reader of src/link acknowledging and handing every
// frame to the decoders, and the scripted, interactive and watch modes.
#pragma once

#include <string>
#include <vector>

#include "common/public.h"

struct ConsoleOptions {
    std::string device;  // --device PATH
    bool pty = false;    // --pty: a pseudo-terminal of our own
    std::string link;    // --link PATH: symbolic link to the pty's slave
    std::string baud = "115200";
    bool hex = false;        // --hex: raw frame bytes on every line
    bool watch = false;      // --watch: print what arrives until stopped
    double forSeconds = -1;  // --for: stop watching after this long
    int waitMs = 2000;       // --wait: how long a command waits for its answer
    bool yes = false;        // --yes: power-off and update allowed
    bool hasLayout = false;  // --layout CODE:LFE answers the layout request
    uchar layoutCode = 0;
    uchar layoutLfe = 0;
    std::vector<std::string> words;  // scripted commands
};

// Runs the console; the process exit status: 0 all answered, 1 a command
// went unanswered or could not be sent, 2 usage or line errors.
int RunConsole(const ConsoleOptions& options);
