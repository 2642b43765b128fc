/* qzlink: the MCU's side of the qzlinkd serial line, for the board's
 * microcontroller firmware. Copy mcu/qzlink.h, qzlink.c and qzcodec.c into
 * the firmware tree as they are.
 *
 * Copyright 2026 qz audio board developers. All rights reserved.
 * License: qz-proprietary. May be used, copied and changed only on the qz
 * audio board or for its development.
 *
 * C99; no malloc, no stdio, no floating point, no OS. The caller gives a
 * byte writer and a millisecond tick; buffer sizes are compile-time settings.
 *
 * Frames (big-endian numbers, no escaping: the length alone delimits them):
 *   short: FA addr id L payload[L] sum8 F5               L <= 191
 *   long:  FA addr id C0|L>>8 L&FF payload[L] sum16 F5   both top bits set
 * The sums cover every byte before them. Every frame with a payload is
 * acknowledged at once with the empty frame FA swapped-addr id 00 sum F5.
 *
 * Use: qz_init() once; qz_feed() every received byte (from the main loop;
 * an interrupt handler puts the bytes into a ring buffer); qz_poll() now and
 * then (the gap and the optional retry); qz_send() with a payload from one
 * of the qz_enc_* encoders. Call qz_feed, qz_poll and qz_send from one
 * context only: each may write a frame, and frames must not interleave.
 */
#ifndef QZLINK_H
#define QZLINK_H

#include <stddef.h>
#include <stdint.h>

/* ---- settings (define before including, or with -D) ---- */

/* Largest payload received. 191 takes every short frame, and every message
 * the daemon sends but a UUID text of 179 characters or more; up to 4088
 * (the daemon's largest frame) by this setting. A longer frame is read to
 * its end and dropped. */
#ifndef QZ_RX_PAYLOAD_MAX
#define QZ_RX_PAYLOAD_MAX 191
#endif
/* Largest payload sent; above 182 bytes a frame goes out long. */
#ifndef QZ_TX_PAYLOAD_MAX
#define QZ_TX_PAYLOAD_MAX 182
#endif
/* A frame whose next byte comes later than this is dropped, as the daemon
 * does; keep it at least the time of 64 bytes at the line's speed. */
#ifndef QZ_GAP_MS
#define QZ_GAP_MS 100
#endif
/* The MCU's address; the daemon answers at the swapped one (0x43). */
#ifndef QZ_MCU_ADDR
#define QZ_MCU_ADDR 0x34
#endif

#if QZ_RX_PAYLOAD_MAX < 5 || QZ_RX_PAYLOAD_MAX > 16383
#error "QZ_RX_PAYLOAD_MAX must be 5 to 16383"
#endif
#if QZ_TX_PAYLOAD_MAX < 5 || QZ_TX_PAYLOAD_MAX > 4088
#error "QZ_TX_PAYLOAD_MAX must be 5 to 4088 (the daemon's largest)"
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* ---- the link ---- */

/* Writes one whole frame; the bytes stay valid until the next frame. */
typedef void (*qz_write_fn)(void *ctx, const uint8_t *bytes, size_t size);
/* Milliseconds of any free-running clock (it may wrap). */
typedef uint32_t (*qz_tick_fn)(void *ctx);
/* A valid frame with a payload, already acknowledged. */
typedef void (*qz_payload_fn)(void *ctx, uint8_t addr, uint8_t id, const uint8_t *payload,
                              size_t size);

typedef struct qz_stats {
    uint16_t frames;    /* valid frames with a payload */
    uint16_t acks;      /* empty frames (the daemon's acknowledgements) */
    uint16_t noise;     /* bytes skipped while hunting for 0xFA */
    uint16_t bad;       /* wrong checksum or end byte */
    uint16_t cut;       /* dropped at the gap */
    uint16_t oversized; /* longer than QZ_RX_PAYLOAD_MAX */
    uint16_t resent;    /* requests sent again */
    uint16_t lost;      /* requests given up after the last try */
} qz_stats;

typedef struct qz_link {
    qz_write_fn write;
    qz_tick_fn tick;
    qz_payload_fn on_payload;
    void *ctx;
    uint8_t addr;    /* where requests go: QZ_MCU_ADDR */
    uint8_t next_id; /* 1..255, never 0 */
    /* receiver */
    uint8_t rx_phase, rx_addr, rx_id, rx_len3;
    uint16_t rx_pos, rx_total, rx_size, rx_sum, rx_check;
    uint32_t rx_last;
    /* sender; with retries the last request stays in tx until acknowledged */
    uint8_t retry_max, retry_left, pending;
    uint16_t tx_size;
    uint32_t retry_ms, tx_at;
    qz_stats stats;
    uint8_t ack[6];
    uint8_t rx[QZ_RX_PAYLOAD_MAX];
    uint8_t tx[QZ_TX_PAYLOAD_MAX + 8];
} qz_link;

enum {
    QZ_ERR_SIZE = -1, /* the payload does not fit QZ_TX_PAYLOAD_MAX (or is empty) */
    QZ_ERR_BUSY = -2  /* retries on: the last request is not acknowledged yet */
};

void qz_init(qz_link *link, qz_write_fn write, qz_tick_fn tick, qz_payload_fn on_payload,
             void *ctx);
/* Keep each request until its acknowledgement comes and send it again after
 * timeout_ms, at most `count` times (0, the default, switches it off). The
 * daemon reads the next frame only when it has handled the last, which can
 * take seconds: a short time-out sends requests twice. */
void qz_set_retry(qz_link *link, uint8_t count, uint32_t timeout_ms);

/* One received byte. */
void qz_feed(qz_link *link, uint8_t byte);
/* The gap on a quiet line and the retry time-out. Returns 1 when a request
 * was given up at this call, else 0. */
int qz_poll(qz_link *link);
/* Sends a payload in a frame with the next id; returns the id (1..255) or a
 * QZ_ERR_ code. */
int qz_send(qz_link *link, const uint8_t *payload, size_t size);
/* A request is waiting for its acknowledgement (retries on). */
int qz_pending(const qz_link *link);

/* The frame for a payload into dest (size + 6, or + 8 above 182 bytes);
 * returns its length, or 0 when it does not fit `cap`. */
size_t qz_build_frame(uint8_t *dest, size_t cap, uint8_t addr, uint8_t id,
                      const uint8_t *payload, size_t size);

/* ---- requests the MCU sends (qzcodec.c) ----
 * Each writes its payload into out and returns its length, or -1 when it
 * does not fit cap or a field is out of range. Gains are tenths of a dB. */

int qz_enc_get_version(uint8_t *out, size_t cap);         /* 05 0B */
int qz_enc_get_build_date(uint8_t *out, size_t cap);      /* 05 0C */
int qz_enc_update(uint8_t *out, size_t cap);              /* 0C 01 */
int qz_enc_power_off(uint8_t *out, size_t cap);           /* 12 01 02 00 */
int qz_enc_get_processor_state(uint8_t *out, size_t cap); /* 13 01 01 */
int qz_enc_get_filters(uint8_t *out, size_t cap);         /* 13 02 01 */
int qz_enc_get_filter_info(uint8_t *out, size_t cap, uint8_t position); /* 13 02 0B */
int qz_enc_get_active_filter(uint8_t *out, size_t cap);                 /* 13 02 15 */
int qz_enc_select_filter(uint8_t *out, size_t cap, uint8_t enabled, uint8_t position);
int qz_enc_audio_reset(uint8_t *out, size_t cap); /* 13 03 00 */
/* id: exactly 8 characters; name: at most 246 bytes. */
int qz_enc_device_identity(uint8_t *out, size_t cap, const char *id, const char *name);
int qz_enc_get_uuid(uint8_t *out, size_t cap);        /* 13 05 05 */
int qz_enc_get_main_volume(uint8_t *out, size_t cap); /* 13 06 01 */
int qz_enc_set_main_volume(uint8_t *out, size_t cap, int16_t tenths); /* 13 06 00 */
/* Sampling-frequency code 0..16 or 255 (9 = 48 kHz). */
int qz_enc_audio_format(uint8_t *out, size_t cap, uint8_t freq_code); /* 02 7E */
/* Also the answer to the daemon's speaker-layout request. */
int qz_enc_speaker_layout(uint8_t *out, size_t cap, uint8_t code, uint8_t lfe); /* 06 23 02 */
int qz_enc_get_wifi_list(uint8_t *out, size_t cap);                             /* 10 01 01 */
/* ssid 1..32 bytes, password (or NULL) at most 64, the chosen BSSID. */
int qz_enc_wifi_connect(uint8_t *out, size_t cap, const char *ssid, const char *password,
                        const uint8_t bssid[6]);
int qz_enc_wifi_disconnect(uint8_t *out, size_t cap);         /* 10 02 00 02 */
int qz_enc_wifi_reconnect(uint8_t *out, size_t cap);          /* 10 02 00 00 */
int qz_enc_get_wifi_status(uint8_t *out, size_t cap);         /* 10 02 01 */
int qz_enc_lan_switch(uint8_t *out, size_t cap, uint8_t on);  /* 10 03 00 */
int qz_enc_get_lan_status(uint8_t *out, size_t cap);          /* 10 03 01 */
int qz_enc_get_wifi_mac(uint8_t *out, size_t cap);            /* 10 04 01 */
int qz_enc_get_date_time(uint8_t *out, size_t cap);           /* 10 05 01 */

typedef struct qz_date_time {
    uint8_t synced;     /* 1: the time counts as synchronised */
    int8_t zone_hours;  /* the daemon always reports 0 */
    uint16_t year;      /* 2026 */
    uint8_t month, day; /* 1..12, 1..31 */
    uint8_t weekday;    /* 0 = Sunday */
    uint8_t hour, minute, second;
} qz_date_time;
int qz_enc_set_date_time(uint8_t *out, size_t cap, const qz_date_time *when); /* 10 05 0B */

/* ---- messages the daemon sends (qzcodec.c) ----
 * Each returns 0, or -1 when the payload is not that message or is cut
 * short. Texts point into the payload (NUL-terminated there): use them
 * before the payload's buffer is reused. */

typedef enum qz_message {
    QZ_MSG_UNKNOWN,
    QZ_MSG_VERSION,         /* 05 12 */
    QZ_MSG_BUILD_DATE,      /* 05 13 */
    QZ_MSG_LAYOUT_REQUEST,  /* 06 23 01: answer with qz_enc_speaker_layout */
    QZ_MSG_PROCESSOR_STATE, /* 13 01 02 */
    QZ_MSG_FILTER_REPORT,   /* 13 02 02 */
    QZ_MSG_FILTER_INFO,     /* 13 02 0C */
    QZ_MSG_ACTIVE_FILTER,   /* 13 02 16 */
    QZ_MSG_AUDIO_RESET,     /* 13 03 02 */
    QZ_MSG_IDENTITY_ACK,    /* 13 05 03 */
    QZ_MSG_UUID,            /* 13 05 06 */
    QZ_MSG_MAIN_VOLUME,     /* 13 06 02 */
    QZ_MSG_WIFI_PAGE,       /* 10 01 02 */
    QZ_MSG_WIFI_STATUS,     /* 10 02 02 */
    QZ_MSG_LAN_STATUS,      /* 10 03 02 */
    QZ_MSG_WIFI_MAC,        /* 10 04 02 */
    QZ_MSG_DATE_TIME        /* 10 05 02 */
} qz_message;
qz_message qz_message_kind(const uint8_t *p, size_t n);

typedef struct qz_version {
    uint8_t major, minor, patch; /* 1.3.4 */
} qz_version;
int qz_dec_version_reply(const uint8_t *p, size_t n, qz_version *out);

typedef struct qz_build_date {
    uint16_t year; /* from the six digits YYMMDD: 2026 */
    uint8_t month, day;
    const char *processor_version; /* "" when none */
} qz_build_date;
int qz_dec_build_date_reply(const uint8_t *p, size_t n, qz_build_date *out);

int qz_dec_layout_request(const uint8_t *p, size_t n);

typedef struct qz_processor_state {
    uint8_t state; /* 0 capture only, 1 ready, 3 playing, 4 no processor */
    uint8_t code;  /* 0xFF; sent with state 4 only */
} qz_processor_state;
int qz_dec_processor_state(const uint8_t *p, size_t n, qz_processor_state *out);

/* A slot as the daemon names it: its position in the processor's list
 * (low 4 bits) and its type (0 other, 1 bass control, 2 active room
 * treatment, 3 bass management). */
typedef struct qz_filter_slot {
    uint8_t slot; /* the raw slot byte */
    uint8_t position, type;
    const char *name; /* "" for no such slot */
} qz_filter_slot;

typedef struct qz_filter_report {
    uint8_t enabled; /* 0, 1, 0xFF unknown */
    uint8_t count;
    qz_filter_slot active; /* with an empty name the slot byte is the processor's index */
} qz_filter_report;
int qz_dec_filter_report(const uint8_t *p, size_t n, qz_filter_report *out);
int qz_dec_filter_info(const uint8_t *p, size_t n, qz_filter_slot *out);
int qz_dec_active_filter(const uint8_t *p, size_t n, qz_filter_slot *out);
int qz_dec_audio_reset_reply(const uint8_t *p, size_t n);
int qz_dec_identity_ack(const uint8_t *p, size_t n);

typedef struct qz_uuid {
    const char *text; /* as the board printed it, line end included */
    uint8_t length;   /* without a trailing line end */
} qz_uuid;
int qz_dec_uuid_reply(const uint8_t *p, size_t n, qz_uuid *out);
int qz_dec_main_volume(const uint8_t *p, size_t n, int16_t *tenths);

typedef struct qz_wifi_entry {
    uint8_t number;   /* in the whole list, from 1 */
    uint8_t strength; /* percent */
    uint8_t security; /* 0 open, 1 WPA1, 2 WPA2, 4 WPA3, 8 WEP, 16 802.1X */
    uint8_t channel;
    uint8_t bssid[6];
    const char *ssid;
} qz_wifi_entry;
typedef struct qz_wifi_page {
    uint8_t total, page, pages; /* an empty list: 0, 0, 0 */
    uint8_t entries;
    qz_wifi_entry entry[4];
} qz_wifi_page;
int qz_dec_wifi_page(const uint8_t *p, size_t n, qz_wifi_page *out);

/* Link states: 0 no link, 1 being set up, 2 getting an address, 3 connected. */
typedef struct qz_wifi_status {
    uint8_t state;
    uint8_t connected; /* the fields below are there */
    const char *ssid;
    uint8_t strength, channel;
    uint8_t bssid[6], ip[4], netmask[4];
} qz_wifi_status;
int qz_dec_wifi_status(const uint8_t *p, size_t n, qz_wifi_status *out);

typedef struct qz_lan_status {
    uint8_t state;
    uint8_t has_device, has_address;
    uint8_t mac[6], ip[4], netmask[4];
} qz_lan_status;
int qz_dec_lan_status(const uint8_t *p, size_t n, qz_lan_status *out);
int qz_dec_wifi_mac(const uint8_t *p, size_t n, uint8_t mac[6]);
int qz_dec_date_time(const uint8_t *p, size_t n, qz_date_time *out);

#ifdef __cplusplus
}
#endif

#endif
