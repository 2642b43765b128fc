/* qzlink: the payloads of every request the MCU sends and every message the
 * daemon sends back. Pure functions over the caller's buffers.
 * Copyright 2026 qz audio board developers. All rights reserved.
 * License: qz-proprietary (see qzlink.h). */
#include "qzlink.h"

/* ---- encoders ---- */

static int put(uint8_t *out, size_t cap, const uint8_t *bytes, size_t n) {
    size_t i;
    if (out == NULL || n > cap) return -1;
    for (i = 0; i < n; i++) out[i] = bytes[i];
    return (int)n;
}

#define QZ_PUT(...)                                      \
    do {                                                 \
        static const uint8_t bytes_[] = {__VA_ARGS__};   \
        return put(out, cap, bytes_, sizeof bytes_);     \
    } while (0)

int qz_enc_get_version(uint8_t *out, size_t cap) { QZ_PUT(0x05, 0x0B); }
int qz_enc_get_build_date(uint8_t *out, size_t cap) { QZ_PUT(0x05, 0x0C); }
int qz_enc_update(uint8_t *out, size_t cap) { QZ_PUT(0x0C, 0x01); }
int qz_enc_power_off(uint8_t *out, size_t cap) { QZ_PUT(0x12, 0x01, 0x02, 0x00); }
int qz_enc_get_processor_state(uint8_t *out, size_t cap) { QZ_PUT(0x13, 0x01, 0x01); }
int qz_enc_get_filters(uint8_t *out, size_t cap) { QZ_PUT(0x13, 0x02, 0x01); }
int qz_enc_get_active_filter(uint8_t *out, size_t cap) { QZ_PUT(0x13, 0x02, 0x15); }
int qz_enc_audio_reset(uint8_t *out, size_t cap) { QZ_PUT(0x13, 0x03, 0x00); }
int qz_enc_get_uuid(uint8_t *out, size_t cap) { QZ_PUT(0x13, 0x05, 0x05); }
int qz_enc_get_main_volume(uint8_t *out, size_t cap) { QZ_PUT(0x13, 0x06, 0x01); }
int qz_enc_get_wifi_list(uint8_t *out, size_t cap) { QZ_PUT(0x10, 0x01, 0x01); }
int qz_enc_wifi_disconnect(uint8_t *out, size_t cap) { QZ_PUT(0x10, 0x02, 0x00, 0x02); }
int qz_enc_wifi_reconnect(uint8_t *out, size_t cap) { QZ_PUT(0x10, 0x02, 0x00, 0x00); }
int qz_enc_get_wifi_status(uint8_t *out, size_t cap) { QZ_PUT(0x10, 0x02, 0x01); }
int qz_enc_get_lan_status(uint8_t *out, size_t cap) { QZ_PUT(0x10, 0x03, 0x01); }
int qz_enc_get_wifi_mac(uint8_t *out, size_t cap) { QZ_PUT(0x10, 0x04, 0x01); }
int qz_enc_get_date_time(uint8_t *out, size_t cap) { QZ_PUT(0x10, 0x05, 0x01); }

int qz_enc_get_filter_info(uint8_t *out, size_t cap, uint8_t position) {
    const uint8_t b[] = {0x13, 0x02, 0x0B, 0x00, position};
    return put(out, cap, b, sizeof b);
}

int qz_enc_select_filter(uint8_t *out, size_t cap, uint8_t enabled, uint8_t position) {
    const uint8_t b[] = {0x13, 0x02, 0x14, enabled, position};
    return put(out, cap, b, sizeof b);
}

int qz_enc_set_main_volume(uint8_t *out, size_t cap, int16_t tenths) {
    const uint16_t u = (uint16_t)tenths;
    const uint8_t b[] = {0x13, 0x06, 0x00, (uint8_t)(u >> 8), (uint8_t)u};
    return put(out, cap, b, sizeof b);
}

int qz_enc_audio_format(uint8_t *out, size_t cap, uint8_t freq_code) {
    /* Bytes 2 and 3 are not read by the daemon. */
    const uint8_t b[] = {0x02, 0x7E, 0x00, 0x00, freq_code};
    if (freq_code > 16 && freq_code != 255) return -1;
    return put(out, cap, b, sizeof b);
}

int qz_enc_speaker_layout(uint8_t *out, size_t cap, uint8_t code, uint8_t lfe) {
    const uint8_t b[] = {0x06, 0x23, 0x02, code, lfe};
    return put(out, cap, b, sizeof b);
}

int qz_enc_lan_switch(uint8_t *out, size_t cap, uint8_t on) {
    const uint8_t b[] = {0x10, 0x03, 0x00, (uint8_t)(on ? 1 : 0)};
    return put(out, cap, b, sizeof b);
}

static size_t text_length(const char *s, size_t max) {
    size_t n = 0;
    while (n <= max && s[n] != '\0') n++;
    return n;
}

/* Appends text and its NUL at out[*at]; false when it does not fit. */
static int put_text(uint8_t *out, size_t cap, size_t *at, const char *s, size_t n) {
    size_t i;
    if (*at + n + 1 > cap) return 0;
    for (i = 0; i < n; i++) out[(*at)++] = (uint8_t)s[i];
    out[(*at)++] = 0;
    return 1;
}

/* Counts A and B put the 8-character id right behind the name's NUL. */
int qz_enc_device_identity(uint8_t *out, size_t cap, const char *id, const char *name) {
    const size_t max_name = 255 - 8 - 1;
    size_t n, at = 5, i;
    if (out == NULL || id == NULL || name == NULL || text_length(id, 8) != 8) return -1;
    n = text_length(name, max_name);
    if (n > max_name || 5 + n + 1 + 8 > cap) return -1;
    out[0] = 0x13;
    out[1] = 0x05;
    out[2] = 0x02;
    out[3] = 8;
    out[4] = (uint8_t)(8 + n + 1);
    put_text(out, cap, &at, name, n);
    for (i = 0; i < 8; i++) out[at++] = (uint8_t)id[i];
    return (int)at;
}

int qz_enc_wifi_connect(uint8_t *out, size_t cap, const char *ssid, const char *password,
                        const uint8_t bssid[6]) {
    size_t n, m, at = 5, i;
    if (out == NULL || ssid == NULL || bssid == NULL || cap < 5) return -1;
    if (password == NULL) password = "";
    n = text_length(ssid, 32);
    m = text_length(password, 64);
    if (n == 0 || n > 32 || m > 64) return -1;
    out[0] = 0x10;
    out[1] = 0x02;
    out[2] = 0x00;
    out[3] = 0x01; /* connect */
    out[4] = (uint8_t)(n + 1);
    if (!put_text(out, cap, &at, ssid, n) || at + 1 + m + 1 + 6 > cap) return -1;
    out[at++] = (uint8_t)(m + 1);
    put_text(out, cap, &at, password, m);
    for (i = 0; i < 6; i++) out[at++] = bssid[i];
    return (int)at;
}

int qz_enc_set_date_time(uint8_t *out, size_t cap, const qz_date_time *when) {
    uint8_t b[13];
    if (when == NULL || when->year > 9999 || when->month < 1 || when->month > 12 ||
        when->day < 1 || when->day > 31 || when->weekday > 6 || when->hour > 23 ||
        when->minute > 59 || when->second > 60) {
        return -1;
    }
    b[0] = 0x10;
    b[1] = 0x05;
    b[2] = 0x0B;
    b[3] = when->synced;
    b[4] = (uint8_t)when->zone_hours;
    b[5] = (uint8_t)(when->year / 100);
    b[6] = (uint8_t)(when->year % 100);
    b[7] = when->month;
    b[8] = when->day;
    b[9] = when->weekday;
    b[10] = when->hour;
    b[11] = when->minute;
    b[12] = when->second;
    return put(out, cap, b, sizeof b);
}

/* ---- decoders ---- */

typedef struct kind_row {
    uint8_t code[3];
    uint8_t size;
    uint8_t kind;
} kind_row;

static const kind_row kinds[] = {
    {{0x05, 0x12}, 2, QZ_MSG_VERSION},
    {{0x05, 0x13}, 2, QZ_MSG_BUILD_DATE},
    {{0x06, 0x23, 0x01}, 3, QZ_MSG_LAYOUT_REQUEST},
    {{0x13, 0x01, 0x02}, 3, QZ_MSG_PROCESSOR_STATE},
    {{0x13, 0x02, 0x02}, 3, QZ_MSG_FILTER_REPORT},
    {{0x13, 0x02, 0x0C}, 3, QZ_MSG_FILTER_INFO},
    {{0x13, 0x02, 0x16}, 3, QZ_MSG_ACTIVE_FILTER},
    {{0x13, 0x03, 0x02}, 3, QZ_MSG_AUDIO_RESET},
    {{0x13, 0x05, 0x03}, 3, QZ_MSG_IDENTITY_ACK},
    {{0x13, 0x05, 0x06}, 3, QZ_MSG_UUID},
    {{0x13, 0x06, 0x02}, 3, QZ_MSG_MAIN_VOLUME},
    {{0x10, 0x01, 0x02}, 3, QZ_MSG_WIFI_PAGE},
    {{0x10, 0x02, 0x02}, 3, QZ_MSG_WIFI_STATUS},
    {{0x10, 0x03, 0x02}, 3, QZ_MSG_LAN_STATUS},
    {{0x10, 0x04, 0x02}, 3, QZ_MSG_WIFI_MAC},
    {{0x10, 0x05, 0x02}, 3, QZ_MSG_DATE_TIME},
};

qz_message qz_message_kind(const uint8_t *p, size_t n) {
    size_t r, i;
    if (p == NULL) return QZ_MSG_UNKNOWN;
    for (r = 0; r < sizeof kinds / sizeof kinds[0]; r++) {
        if (n < kinds[r].size) continue;
        for (i = 0; i < kinds[r].size && p[i] == kinds[r].code[i]; i++) {
        }
        if (i == kinds[r].size) return (qz_message)kinds[r].kind;
    }
    return QZ_MSG_UNKNOWN;
}

/* The message's kind and at least `min` bytes. */
static int is_message(const uint8_t *p, size_t n, qz_message kind, size_t min) {
    return n >= min && qz_message_kind(p, n) == kind;
}

/* The NUL-terminated text at p[at]; NULL when its NUL lies beyond n. */
static const char *text_at(const uint8_t *p, size_t n, size_t at, size_t *length) {
    size_t i;
    for (i = at; i < n; i++) {
        if (p[i] == 0) {
            if (length) *length = i - at;
            return (const char *)(p + at);
        }
    }
    return NULL;
}

static void copy(uint8_t *dest, const uint8_t *src, size_t n) {
    size_t i;
    for (i = 0; i < n; i++) dest[i] = src[i];
}

static int is_digit(uint8_t c) {
    return c >= '0' && c <= '9';
}

int qz_dec_version_reply(const uint8_t *p, size_t n, qz_version *out) {
    size_t len = 0;
    if (!is_message(p, n, QZ_MSG_VERSION, 6) || text_at(p, n, 2, &len) == NULL || len != 3 ||
        !is_digit(p[2]) || !is_digit(p[3]) || !is_digit(p[4])) {
        return -1;
    }
    out->major = (uint8_t)(p[2] - '0');
    out->minor = (uint8_t)(p[3] - '0');
    out->patch = (uint8_t)(p[4] - '0');
    return 0;
}

static uint8_t two_digits(const uint8_t *p) {
    return (uint8_t)((p[0] - '0') * 10 + (p[1] - '0'));
}

int qz_dec_build_date_reply(const uint8_t *p, size_t n, qz_build_date *out) {
    size_t len = 0, i;
    const char *version;
    if (!is_message(p, n, QZ_MSG_BUILD_DATE, 10) || text_at(p, n, 2, &len) == NULL || len != 6)
        return -1;
    for (i = 2; i < 8; i++) {
        if (!is_digit(p[i])) return -1;
    }
    version = text_at(p, n, 9, NULL);
    if (version == NULL) return -1;
    out->year = (uint16_t)(2000 + two_digits(p + 2));
    out->month = two_digits(p + 4);
    out->day = two_digits(p + 6);
    out->processor_version = version;
    return 0;
}

int qz_dec_layout_request(const uint8_t *p, size_t n) {
    return is_message(p, n, QZ_MSG_LAYOUT_REQUEST, 3) ? 0 : -1;
}

int qz_dec_processor_state(const uint8_t *p, size_t n, qz_processor_state *out) {
    if (!is_message(p, n, QZ_MSG_PROCESSOR_STATE, 4) || (p[3] == 4 && n < 5)) return -1;
    out->state = p[3];
    out->code = n >= 5 ? p[4] : 0xFF;
    return 0;
}

/* A slot byte at p[at], its name behind it. */
static int slot_at(const uint8_t *p, size_t n, size_t at, qz_filter_slot *out) {
    const char *name = text_at(p, n, at + 1, NULL);
    if (name == NULL) return -1;
    out->slot = p[at];
    out->position = p[at] & 0x0F;
    out->type = p[at] >> 4;
    out->name = name;
    return 0;
}

int qz_dec_filter_report(const uint8_t *p, size_t n, qz_filter_report *out) {
    if (!is_message(p, n, QZ_MSG_FILTER_REPORT, 7)) return -1;
    out->enabled = p[3];
    out->count = p[4];
    return slot_at(p, n, 5, &out->active);
}

int qz_dec_filter_info(const uint8_t *p, size_t n, qz_filter_slot *out) {
    if (!is_message(p, n, QZ_MSG_FILTER_INFO, 6)) return -1;
    return slot_at(p, n, 4, out);
}

int qz_dec_active_filter(const uint8_t *p, size_t n, qz_filter_slot *out) {
    if (!is_message(p, n, QZ_MSG_ACTIVE_FILTER, 6)) return -1;
    return slot_at(p, n, 4, out);
}

int qz_dec_audio_reset_reply(const uint8_t *p, size_t n) {
    return is_message(p, n, QZ_MSG_AUDIO_RESET, 3) ? 0 : -1;
}

int qz_dec_identity_ack(const uint8_t *p, size_t n) {
    return is_message(p, n, QZ_MSG_IDENTITY_ACK, 3) ? 0 : -1;
}

int qz_dec_uuid_reply(const uint8_t *p, size_t n, qz_uuid *out) {
    size_t len = 0;
    const char *text;
    if (!is_message(p, n, QZ_MSG_UUID, 5) || (size_t)4 + p[3] > n) return -1;
    text = text_at(p, 4 + (size_t)p[3], 4, &len);
    if (text == NULL) return -1;
    while (len > 0 && (text[len - 1] == '\n' || text[len - 1] == '\r')) len--;
    out->text = text;
    out->length = (uint8_t)len;
    return 0;
}

int qz_dec_main_volume(const uint8_t *p, size_t n, int16_t *tenths) {
    if (!is_message(p, n, QZ_MSG_MAIN_VOLUME, 5)) return -1;
    *tenths = (int16_t)(uint16_t)((p[3] << 8) | p[4]);
    return 0;
}

/* Entries: length, number, strength, security, channel, BSSID, name NUL. */
int qz_dec_wifi_page(const uint8_t *p, size_t n, qz_wifi_page *out) {
    size_t e = 6;
    if (!is_message(p, n, QZ_MSG_WIFI_PAGE, 6)) return -1;
    out->total = p[3];
    out->page = p[4];
    out->pages = p[5];
    out->entries = 0;
    while (e < n) {
        const size_t len = p[e];
        qz_wifi_entry *w = &out->entry[out->entries];
        if (out->entries == 4 || len < 12 || e + len > n || p[e + len - 1] != 0) return -1;
        w->number = p[e + 1];
        w->strength = p[e + 2];
        w->security = p[e + 3];
        w->channel = p[e + 4];
        copy(w->bssid, p + e + 5, 6);
        w->ssid = text_at(p, e + len, e + 11, NULL);
        out->entries++;
        e += len;
    }
    return 0;
}

int qz_dec_wifi_status(const uint8_t *p, size_t n, qz_wifi_status *out) {
    size_t len;
    const uint8_t *after;
    if (!is_message(p, n, QZ_MSG_WIFI_STATUS, 4)) return -1;
    out->state = p[3];
    out->connected = 0;
    out->ssid = "";
    if (n == 4) return 0;
    len = p[4];
    if (n != 21 + len || len == 0 || (out->ssid = text_at(p, 5 + len, 5, NULL)) == NULL)
        return -1;
    after = p + 5 + len;
    out->connected = 1;
    out->strength = after[0];
    out->channel = after[1];
    copy(out->bssid, after + 2, 6);
    copy(out->ip, after + 8, 4);
    copy(out->netmask, after + 12, 4);
    return 0;
}

/* 4 bytes without a device, 10 with its MAC, 24 with its address too. */
int qz_dec_lan_status(const uint8_t *p, size_t n, qz_lan_status *out) {
    if (!is_message(p, n, QZ_MSG_LAN_STATUS, 4) || (n != 4 && n != 10 && n != 24)) return -1;
    out->state = p[3];
    out->has_device = n >= 10;
    out->has_address = n == 24;
    if (n >= 10) copy(out->mac, p + 4, 6);
    if (n == 24) {
        copy(out->ip, p + 10, 4);
        copy(out->netmask, p + 20, 4);
    }
    return 0;
}

int qz_dec_wifi_mac(const uint8_t *p, size_t n, uint8_t mac[6]) {
    if (!is_message(p, n, QZ_MSG_WIFI_MAC, 9)) return -1;
    copy(mac, p + 3, 6);
    return 0;
}

int qz_dec_date_time(const uint8_t *p, size_t n, qz_date_time *out) {
    if (!is_message(p, n, QZ_MSG_DATE_TIME, 13)) return -1;
    out->synced = p[3];
    out->zone_hours = (int8_t)p[4];
    out->year = (uint16_t)(p[5] * 100 + p[6]);
    out->month = p[7];
    out->day = p[8];
    out->weekday = p[9];
    out->hour = p[10];
    out->minute = p[11];
    out->second = p[12];
    return 0;
}
