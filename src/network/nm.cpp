#include "network/nm.h"

#include <glib.h>

#include "common/log.h"

int NmMain(TtyData*, const char*, const char*, int) {
    GMainLoop* loop = g_main_loop_new(nullptr, FALSE);
    Log("nm main loop start.\n");
    g_main_loop_run(loop);
    Log("nm main end.\n");
    return -1;
}

const char* NmGetMacAddress(char* dest, const char*) {
    if (dest != nullptr) dest[0] = '\0';
    return nullptr;
}
