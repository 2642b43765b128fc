/* One line of text for any message from the daemon, through the library's
 * decoders: what the example firmware prints, and what the host tests read.
 * Copyright 2026 qz audio board developers. All rights reserved.
 * License: qz-proprietary (see qzlink.h). */
#include "describe.h"

#include <stdarg.h>
#include <stdio.h>

typedef struct text {
    char *out;
    size_t cap, at;
} text;

static void add(text *t, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

static void add(text *t, const char *fmt, ...) {
    va_list args;
    int n;
    if (t->at >= t->cap) return;
    va_start(args, fmt);
    n = vsnprintf(t->out + t->at, t->cap - t->at, fmt, args);
    va_end(args);
    if (n > 0) t->at += (size_t)n;
}

static void add_mac(text *t, const uint8_t *m) {
    add(t, "%02X:%02X:%02X:%02X:%02X:%02X", m[0], m[1], m[2], m[3], m[4], m[5]);
}

static void add_ip(text *t, const uint8_t *ip, const uint8_t *mask) {
    add(t, "%u.%u.%u.%u/%u.%u.%u.%u", ip[0], ip[1], ip[2], ip[3], mask[0], mask[1], mask[2],
        mask[3]);
}

static void add_slot(text *t, const qz_filter_slot *s) {
    add(t, "slot %u type %u \"%s\"", s->position, s->type, s->name);
}

static int describe(text *t, const uint8_t *p, size_t n) {
    union {
        qz_version version;
        qz_build_date date;
        qz_processor_state state;
        qz_filter_report filters;
        qz_filter_slot slot;
        qz_uuid uuid;
        int16_t tenths;
        qz_wifi_page page;
        qz_wifi_status wifi;
        qz_lan_status lan;
        uint8_t mac[6];
        qz_date_time when;
    } m;
    unsigned i;
    switch (qz_message_kind(p, n)) {
    case QZ_MSG_VERSION:
        if (qz_dec_version_reply(p, n, &m.version)) return -1;
        add(t, "version %u.%u.%u", m.version.major, m.version.minor, m.version.patch);
        return 0;
    case QZ_MSG_BUILD_DATE:
        if (qz_dec_build_date_reply(p, n, &m.date)) return -1;
        add(t, "build date %04u-%02u-%02u processor \"%s\"", m.date.year, m.date.month, m.date.day,
            m.date.processor_version);
        return 0;
    case QZ_MSG_LAYOUT_REQUEST:
        if (qz_dec_layout_request(p, n)) return -1;
        add(t, "layout request");
        return 0;
    case QZ_MSG_PROCESSOR_STATE:
        if (qz_dec_processor_state(p, n, &m.state)) return -1;
        add(t, "processor state %u code %u", m.state.state, m.state.code);
        return 0;
    case QZ_MSG_FILTER_REPORT:
        if (qz_dec_filter_report(p, n, &m.filters)) return -1;
        add(t, "filters enabled %u count %u active ", m.filters.enabled, m.filters.count);
        add_slot(t, &m.filters.active);
        return 0;
    case QZ_MSG_FILTER_INFO:
    case QZ_MSG_ACTIVE_FILTER:
        if ((p[2] == 0x0C ? qz_dec_filter_info : qz_dec_active_filter)(p, n, &m.slot)) return -1;
        add(t, p[2] == 0x0C ? "filter " : "active filter ");
        add_slot(t, &m.slot);
        return 0;
    case QZ_MSG_AUDIO_RESET:
        if (qz_dec_audio_reset_reply(p, n)) return -1;
        add(t, "audio reset done");
        return 0;
    case QZ_MSG_IDENTITY_ACK:
        if (qz_dec_identity_ack(p, n)) return -1;
        add(t, "identity acknowledged");
        return 0;
    case QZ_MSG_UUID:
        if (qz_dec_uuid_reply(p, n, &m.uuid)) return -1;
        add(t, "uuid \"%.*s\"", (int)m.uuid.length, m.uuid.text);
        return 0;
    case QZ_MSG_MAIN_VOLUME:
        if (qz_dec_main_volume(p, n, &m.tenths)) return -1;
        add(t, "main volume %d", m.tenths);
        return 0;
    case QZ_MSG_WIFI_PAGE:
        if (qz_dec_wifi_page(p, n, &m.page)) return -1;
        add(t, "wifi page %u/%u of %u:", m.page.page, m.page.pages, m.page.total);
        for (i = 0; i < m.page.entries; i++) {
            const qz_wifi_entry *e = &m.page.entry[i];
            add(t, " %u %u%% sec %u ch %u ", e->number, e->strength, e->security, e->channel);
            add_mac(t, e->bssid);
            add(t, " \"%s\"", e->ssid);
        }
        return 0;
    case QZ_MSG_WIFI_STATUS:
        if (qz_dec_wifi_status(p, n, &m.wifi)) return -1;
        add(t, "wifi state %u", m.wifi.state);
        if (m.wifi.connected) {
            add(t, " \"%s\" %u%% ch %u ", m.wifi.ssid, m.wifi.strength, m.wifi.channel);
            add_mac(t, m.wifi.bssid);
            add(t, " ");
            add_ip(t, m.wifi.ip, m.wifi.netmask);
        }
        return 0;
    case QZ_MSG_LAN_STATUS:
        if (qz_dec_lan_status(p, n, &m.lan)) return -1;
        add(t, "lan state %u", m.lan.state);
        if (!m.lan.has_device) add(t, " no device");
        if (m.lan.has_device) {
            add(t, " mac ");
            add_mac(t, m.lan.mac);
        }
        if (m.lan.has_address) {
            add(t, " ");
            add_ip(t, m.lan.ip, m.lan.netmask);
        }
        return 0;
    case QZ_MSG_WIFI_MAC:
        if (qz_dec_wifi_mac(p, n, m.mac)) return -1;
        add(t, "wifi mac ");
        add_mac(t, m.mac);
        return 0;
    case QZ_MSG_DATE_TIME:
        if (qz_dec_date_time(p, n, &m.when)) return -1;
        add(t, "date %04u-%02u-%02u day %u %02u:%02u:%02u zone %d synced %u", m.when.year,
            m.when.month, m.when.day, m.when.weekday, m.when.hour, m.when.minute, m.when.second,
            m.when.zone_hours, m.when.synced);
        return 0;
    case QZ_MSG_UNKNOWN:
        break;
    }
    add(t, "unknown");
    return 1;
}

int qz_describe(char *out, size_t cap, const uint8_t *p, size_t n) {
    text t = {out, cap, 0};
    int rc;
    if (cap == 0) return -1;
    out[0] = '\0';
    rc = describe(&t, p, n);
    if (rc < 0) {
        t.at = 0;
        add(&t, "bad");
    }
    return rc;
}
