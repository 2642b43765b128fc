/* qzlink: framing, the streaming receiver and the sender.
 * Copyright 2026 qz audio board developers. All rights reserved.
 * License: qz-proprietary (see qzlink.h). */
#include "qzlink.h"

#define QZ_START 0xFA
#define QZ_END 0xF5
#define QZ_SHORT_MAX 182 /* the largest payload sent in a short frame */
#define QZ_IS_LONG(b) (((b)&0xC0) == 0xC0)

enum { RX_HUNT, RX_FRAME };

static uint8_t swap_addr(uint8_t addr) {
    return (uint8_t)((addr << 4) | (addr >> 4));
}

size_t qz_build_frame(uint8_t *dest, size_t cap, uint8_t addr, uint8_t id,
                      const uint8_t *payload, size_t size) {
    const int is_long = size > QZ_SHORT_MAX;
    const size_t head = is_long ? 5 : 4;
    const size_t total = size + (is_long ? 8 : 6);
    unsigned sum = 0;
    size_t i;
    if (size > 0x3FFF || total > cap || (size > 0 && payload == NULL)) return 0;
    dest[0] = QZ_START;
    dest[1] = addr;
    dest[2] = id;
    if (is_long) {
        dest[3] = (uint8_t)(0xC0 | (size >> 8));
        dest[4] = (uint8_t)size;
    } else {
        dest[3] = (uint8_t)size;
    }
    for (i = 0; i < size; i++) dest[head + i] = payload[i];
    for (i = 0; i < head + size; i++) sum += dest[i];
    if (is_long) dest[head + size++] = (uint8_t)(sum >> 8);
    dest[head + size] = (uint8_t)sum;
    dest[head + size + 1] = QZ_END;
    return total;
}

void qz_init(qz_link *link, qz_write_fn write, qz_tick_fn tick, qz_payload_fn on_payload,
             void *ctx) {
    uint8_t *p = (uint8_t *)link;
    size_t i;
    for (i = 0; i < sizeof *link; i++) p[i] = 0;
    link->write = write;
    link->tick = tick;
    link->on_payload = on_payload;
    link->ctx = ctx;
    link->addr = QZ_MCU_ADDR;
    link->next_id = 1;
    link->rx_phase = RX_HUNT;
}

void qz_set_retry(qz_link *link, uint8_t count, uint32_t timeout_ms) {
    link->retry_max = count;
    link->retry_ms = timeout_ms;
    if (count == 0) link->pending = 0;
}

int qz_pending(const qz_link *link) {
    return link->pending;
}

/* ---- receiver ---- */

/* Bytes after the payload: the checksum (1 or 2) and the end byte. */
static uint16_t rx_tail(const qz_link *l) {
    return QZ_IS_LONG(l->rx_len3) ? 3 : 2;
}

static void rx_finish(qz_link *l, uint8_t end) {
    const uint16_t want = QZ_IS_LONG(l->rx_len3) ? l->rx_sum : (uint16_t)(l->rx_sum & 0xFF);
    l->rx_phase = RX_HUNT;
    /* Too long for the buffer: read to its end, so the stream stays in step. */
    if (l->rx_size > QZ_RX_PAYLOAD_MAX) {
        l->stats.oversized++;
        return;
    }
    if (end != QZ_END || l->rx_check != want) {
        l->stats.bad++;
        return;
    }
    if (l->rx_size == 0) {
        l->stats.acks++;
        if (l->pending && l->rx_id == l->tx[2]) l->pending = 0;
        return;
    }
    l->ack[0] = QZ_START;
    l->ack[1] = swap_addr(l->rx_addr);
    l->ack[2] = l->rx_id;
    l->ack[3] = 0;
    l->ack[4] = (uint8_t)(QZ_START + l->ack[1] + l->rx_id);
    l->ack[5] = QZ_END;
    l->write(l->ctx, l->ack, sizeof l->ack);
    l->stats.frames++;
    if (l->on_payload) l->on_payload(l->ctx, l->rx_addr, l->rx_id, l->rx, l->rx_size);
}

static void rx_set_size(qz_link *l, uint16_t size, uint16_t overhead) {
    l->rx_size = size;
    l->rx_total = (uint16_t)(size + overhead);
}

/* Byte `pos` of a frame whose start byte came: the header gives the length,
 * which alone says where the checksum and the end byte are. */
static void rx_take(qz_link *l, uint8_t b) {
    const uint16_t pos = l->rx_pos++;
    const uint16_t head = (uint16_t)(4 + (pos > 3 && QZ_IS_LONG(l->rx_len3)));
    if (pos == 1) {
        l->rx_addr = b;
    } else if (pos == 2) {
        l->rx_id = b;
    } else if (pos == 3) {
        l->rx_len3 = b;
        if (!QZ_IS_LONG(b)) rx_set_size(l, b, 6);
    } else if (pos == 4 && QZ_IS_LONG(l->rx_len3)) {
        rx_set_size(l, (uint16_t)(((l->rx_len3 & 0x3F) << 8) | b), 8);
    }
    if (l->rx_total == 0 || pos < l->rx_total - rx_tail(l)) {
        l->rx_sum = (uint16_t)(l->rx_sum + b);
        if (pos >= head && l->rx_size <= QZ_RX_PAYLOAD_MAX) l->rx[pos - head] = b;
    } else if (pos + 1 < l->rx_total) {
        l->rx_check = (uint16_t)((l->rx_check << 8) | b);
    } else {
        rx_finish(l, b);
    }
}

/* Drops a frame whose next byte is overdue; true when it did. */
static int rx_gap(qz_link *l, uint32_t now) {
    if (l->rx_phase == RX_HUNT || (uint32_t)(now - l->rx_last) <= QZ_GAP_MS) return 0;
    l->rx_phase = RX_HUNT;
    l->stats.cut++;
    return 1;
}

void qz_feed(qz_link *link, uint8_t byte) {
    const uint32_t now = link->tick(link->ctx);
    /* The late byte itself may start the next frame. */
    rx_gap(link, now);
    link->rx_last = now;
    if (link->rx_phase == RX_FRAME) {
        rx_take(link, byte);
    } else if (byte == QZ_START) {
        link->rx_phase = RX_FRAME;
        link->rx_pos = 1;
        link->rx_total = 0;
        link->rx_sum = QZ_START;
        link->rx_check = 0;
    } else {
        link->stats.noise++;
    }
}

/* ---- sender ---- */

int qz_send(qz_link *link, const uint8_t *payload, size_t size) {
    uint8_t id;
    if (link->pending) return QZ_ERR_BUSY;
    if (size == 0 || size > QZ_TX_PAYLOAD_MAX || payload == NULL) return QZ_ERR_SIZE;
    id = link->next_id;
    link->next_id = (uint8_t)(id == 255 ? 1 : id + 1);
    link->tx_size = (uint16_t)qz_build_frame(link->tx, sizeof link->tx, link->addr, id, payload, size);
    link->write(link->ctx, link->tx, link->tx_size);
    if (link->retry_max > 0) {
        link->pending = 1;
        link->retry_left = link->retry_max;
        link->tx_at = link->tick(link->ctx);
    }
    return id;
}

int qz_poll(qz_link *link) {
    const uint32_t now = link->tick(link->ctx);
    rx_gap(link, now);
    if (!link->pending || (uint32_t)(now - link->tx_at) < link->retry_ms) return 0;
    if (link->retry_left == 0) {
        link->pending = 0;
        link->stats.lost++;
        return 1;
    }
    link->retry_left--;
    link->stats.resent++;
    link->tx_at = now;
    link->write(link->ctx, link->tx, link->tx_size);
    return 0;
}
