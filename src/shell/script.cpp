#include "shell/script.h"

#include "common/config.h"
#include "common/format.h"
#include "shell/exec.h"

int FormatHttpGetLine(char* dest, size_t cap, const char* uri) {
    return FormatLine(dest, cap, "%s http get \"%s%s\" \"Content-Type:application/json\"",
                      HALVANE_SH, DIRAC_HTTP_ROOT, uri);
}

int FormatHttpPutLine(char* dest, size_t cap, const char* uri, const char* key, int value) {
    return FormatLine(dest, cap, "%s http put \"%s%s?%s=%d&id=%u\"", HALVANE_SH, DIRAC_HTTP_ROOT,
                      uri, key, value, DIRAC_ID);
}

int FormatSampleRateLine(char* dest, size_t cap, int hz) {
    return FormatLine(dest, cap, "%s sample_rate %d", HALVANE_SH, hz);
}

int FormatSpConfigLine(char* dest, size_t cap, int x, int lfe, int z) {
    return FormatLine(dest, cap, "%s %s %d %d %d", HALVANE_SH, "UpdateSpConfig", x, lfe, z);
}

int FormatScriptActionLine(char* dest, size_t cap, const char* action) {
    return FormatLine(dest, cap, "%s %s", HALVANE_SH, action);
}

int FormatNetLine(char* dest, size_t cap, const char* iface, const char* action) {
    return FormatLine(dest, cap, "%s net %s %s &", HALVANE_SH, iface, action);
}

int FormatDeviceIdNameLine(char* dest, size_t cap, const char* id, const char* name) {
    char safeId[64];
    char safeName[kCommandLineSize];
    if (ShellEscape(safeId, sizeof safeId, id) < 0) return -1;
    if (ShellEscape(safeName, sizeof safeName, name) < 0) return -1;
    return FormatLine(dest, cap, "%s device id_name \"%s\" \"%s\" &", HALVANE_SH, safeId, safeName);
}

int FormatDeviceUuidLine(char* dest, size_t cap) {
    return FormatLine(dest, cap, "%s device uuid", HALVANE_SH);
}
