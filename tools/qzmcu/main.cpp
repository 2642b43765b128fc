// qzmcu: the MCU's end of the line, for bench work and the demo. It speaks
// the daemon's frame protocol from the MCU's address, acknowledges what it
// receives and prints every frame decoded.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "qzmcu/console.h"
#include "qzmcu/request.h"

namespace {

const char kUsage[] =
    "usage: qzmcu (--device PATH | --pty [--link PATH]) [options] [COMMAND [ARGS]]...\n"
    "  --device PATH    the serial line to the daemon (--baud RATE, default 115200)\n"
    "  --pty            create a pseudo-terminal and print its path; --link PATH\n"
    "                   also points a symbolic link at it\n"
    "  --hex            show the raw frame bytes\n"
    "  --wait MS        how long each command waits for its answer (default 2000)\n"
    "  --watch          only print what arrives, until interrupted or --for SECONDS\n"
    "  --for SECONDS    keep printing this long after the commands or input end\n"
    "  --layout C:LFE   answer the daemon's speaker-layout request with this layout\n"
    "  --yes            allow poweroff and update\n"
    "With COMMANDs on the command line they run in order, each waiting for its\n"
    "answer; without, commands are read one a line from standard input.\n";

bool TakeValue(int argc, char** argv, int* i, std::string* value) {
    if (*i + 1 >= argc) {
        fprintf(stderr, "qzmcu: %s needs a value\n", argv[*i]);
        return false;
    }
    *value = argv[++*i];
    return true;
}

bool ToInt(const std::string& text, long min, long max, long* value) {
    char* end = nullptr;
    const long v = strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || v < min || v > max) return false;
    *value = v;
    return true;
}

// Returns 0 to run, 1 after --help, 2 on a mistake.
int ParseOption(int argc, char** argv, int* i, ConsoleOptions* o) {
    const std::string arg = argv[*i];
    std::string value;
    long n = 0;
    if (arg == "--pty")
        o->pty = true;
    else if (arg == "--hex")
        o->hex = true;
    else if (arg == "--watch")
        o->watch = true;
    else if (arg == "--yes")
        o->yes = true;
    else if (arg == "--help" || arg == "-h")
        return 1;
    else if (!TakeValue(argc, argv, i, &value))
        return 2;
    else if (arg == "--device")
        o->device = value;
    else if (arg == "--link")
        o->link = value;
    else if (arg == "--baud")
        o->baud = value;
    else if (arg == "--wait" && ToInt(value, 0, 600000, &n))
        o->waitMs = static_cast<int>(n);
    else if (arg == "--for" && ToInt(value, 0, 86400, &n))
        o->forSeconds = static_cast<double>(n);
    else if (arg == "--layout" && ParseLayoutOption(value, &o->layoutCode, &o->layoutLfe))
        o->hasLayout = true;
    else {
        fprintf(stderr, "qzmcu: bad option %s %s\n", arg.c_str(), value.c_str());
        return 2;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    ConsoleOptions o;
    int i = 1;
    for (; i < argc && strncmp(argv[i], "--", 2) == 0; i++) {
        if (strcmp(argv[i], "--") == 0) {
            i++;
            break;
        }
        const int rc = ParseOption(argc, argv, &i, &o);
        if (rc != 0) {
            fputs(kUsage, rc == 1 ? stdout : stderr);
            return rc == 1 ? 0 : 2;
        }
    }
    for (; i < argc; i++) o.words.push_back(argv[i]);
    if (o.pty == !o.device.empty()) {
        fprintf(stderr, "qzmcu: give exactly one of --device PATH and --pty\n%s", kUsage);
        return 2;
    }
    if (!o.link.empty() && !o.pty) {
        fprintf(stderr, "qzmcu: --link goes with --pty\n");
        return 2;
    }
    const int status = RunConsole(o);
    // The link's reader thread is still running: leave without running
    // static destructors under it.
    fflush(stdout);
    _exit(status);
}
