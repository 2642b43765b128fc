/* Example firmware on QEMU's mps2-an385 (Cortex-M3): UART0 is the line to
 * qzlinkd, semihosting the transcript. On boot it waits for the daemon's
 * first report, then asks for the version, the build date, the processor
 * state, the filters and the main volume, sets the volume, asks a few more,
 * answers the daemon's speaker-layout request, prints every decoded message
 * and exits with 0 when every reply came.
 * Copyright 2026 qz audio board developers. All rights reserved.
 * License: qz-proprietary (see qzlink.h). */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include "describe.h"
#include "qzlink.h"

/* ---- the board: CMSDK APB UART0, SysTick, NVIC ---- */

typedef struct cmsdk_uart {
    volatile uint32_t data, state, ctrl, intstatus, bauddiv;
} cmsdk_uart;
#define UART0 ((cmsdk_uart *)0x40004000u)
#define UART_TX_FULL 1u
#define UART_RX_FULL 2u
#define SYST_CSR (*(volatile uint32_t *)0xE000E010u)
#define SYST_RVR (*(volatile uint32_t *)0xE000E014u)
#define SYST_CVR (*(volatile uint32_t *)0xE000E018u)
#define NVIC_ISER0 (*(volatile uint32_t *)0xE000E100u)
#define CPU_HZ 25000000u
#define UART0_RX_IRQ 0

static volatile uint32_t ticks;

void arm_systick_isr(void) {
    ticks++;
}

/* Only wakes the main loop, which reads the byte: the library is fed from
 * one context. */
static void uart0_rx_isr(void) {
    UART0->intstatus = UART_RX_FULL;
}

extern char __stack[];
void _start(void);
void arm_halt_isr(void);

/* The core's 16 vectors and the first IRQs (UART0 RX is IRQ 0). */
__attribute__((section(".data.init.enter"), used)) void (*const __interrupt_vector[17])(void) = {
    (void (*)(void))__stack, _start,       arm_halt_isr, arm_halt_isr, arm_halt_isr, arm_halt_isr,
    arm_halt_isr,            0,            0,            0,            0,            arm_halt_isr,
    arm_halt_isr,            0,            arm_halt_isr, arm_systick_isr, uart0_rx_isr,
};

static void board_init(void) {
    UART0->bauddiv = CPU_HZ / 115200;
    UART0->ctrl = 1u | 2u | 8u; /* TX, RX, RX interrupt */
    SYST_RVR = CPU_HZ / 1000 - 1;
    SYST_CVR = 0;
    SYST_CSR = 7u; /* core clock, interrupt, on */
    NVIC_ISER0 = 1u << UART0_RX_IRQ;
}

static void line_write(void *ctx, const uint8_t *bytes, size_t size) {
    size_t i;
    (void)ctx;
    for (i = 0; i < size; i++) {
        while (UART0->state & UART_TX_FULL) {
        }
        UART0->data = bytes[i];
    }
}

static uint32_t line_tick(void *ctx) {
    (void)ctx;
    return ticks;
}

/* ---- the firmware ---- */

typedef int (*encode_fn)(uint8_t *out, size_t cap);

static int enc_set_volume(uint8_t *out, size_t cap) {
    return qz_enc_set_main_volume(out, cap, -125); /* -12.5 dB */
}
static int enc_filter_2(uint8_t *out, size_t cap) {
    return qz_enc_get_filter_info(out, cap, 2);
}

static const struct step {
    const char *name;
    encode_fn encode;
    qz_message reply;
} steps[] = {
    {"version", qz_enc_get_version, QZ_MSG_VERSION},
    {"build date", qz_enc_get_build_date, QZ_MSG_BUILD_DATE},
    {"processor state", qz_enc_get_processor_state, QZ_MSG_PROCESSOR_STATE},
    {"filters", qz_enc_get_filters, QZ_MSG_FILTER_REPORT},
    {"main volume", qz_enc_get_main_volume, QZ_MSG_MAIN_VOLUME},
    {"set main volume -12.5 dB", enc_set_volume, QZ_MSG_MAIN_VOLUME},
    {"filter 2", enc_filter_2, QZ_MSG_FILTER_INFO},
    {"active filter", qz_enc_get_active_filter, QZ_MSG_ACTIVE_FILTER},
    {"uuid", qz_enc_get_uuid, QZ_MSG_UUID},
    {"wifi mac", qz_enc_get_wifi_mac, QZ_MSG_WIFI_MAC},
    {"wifi status", qz_enc_get_wifi_status, QZ_MSG_WIFI_STATUS},
    {"lan status", qz_enc_get_lan_status, QZ_MSG_LAN_STATUS},
};
#define STEPS (sizeof steps / sizeof steps[0])
#define LAYOUT_CODE 5 /* 5.1.0: FL FR LS RS FC and one LFE */
#define LAYOUT_LFE 1

static qz_link link;
static unsigned step;        /* the request waiting for its reply */
static int waiting;          /* a request is out */
static unsigned messages;    /* from the daemon, any */
static unsigned replies;     /* requests answered */
static int layout_due;       /* the daemon asked for the layout */
static int layout_answered;

static void on_payload(void *ctx, uint8_t addr, uint8_t id, const uint8_t *p, size_t n) {
    char text[320];
    const qz_message kind = qz_message_kind(p, n);
    const int is_reply = waiting && kind == steps[step].reply;
    (void)ctx;
    (void)addr;
    (void)id;
    qz_describe(text, sizeof text, p, n);
    printf("%s %s\n", is_reply ? "<-" : "<~", text);
    messages++;
    if (kind == QZ_MSG_LAYOUT_REQUEST) layout_due = 1;
    if (is_reply) {
        waiting = 0;
        replies++;
        step++;
    }
}

/* Feeds what the UART holds, keeps the link's timers going. */
static void service(void) {
    while (UART0->state & UART_RX_FULL) qz_feed(&link, (uint8_t)UART0->data);
    if (qz_poll(&link)) printf("!! request given up\n");
    if (layout_due && !qz_pending(&link)) {
        uint8_t out[8];
        const int n = qz_enc_speaker_layout(out, sizeof out, LAYOUT_CODE, LAYOUT_LFE);
        if (qz_send(&link, out, (size_t)n) > 0) {
            printf("-> speaker layout code %d lfe %d\n", LAYOUT_CODE, LAYOUT_LFE);
            layout_due = 0;
            layout_answered = 1;
        }
    }
}

/* Runs the link until done() or ms have passed; true when done. */
static int run_until(int (*done)(void), uint32_t ms) {
    const uint32_t start = ticks;
    for (;;) {
        service();
        if (done()) return 1;
        if ((uint32_t)(ticks - start) >= ms) return 0;
        __asm__ volatile("wfi");
    }
}

static int got_message(void) {
    return messages > 0;
}
static int got_reply(void) {
    return !waiting && !qz_pending(&link);
}
static int never(void) {
    return 0;
}

int main(void) {
    unsigned i;
    board_init();
    qz_init(&link, line_write, line_tick, on_payload, NULL);
    /* The daemon acknowledges at once; its handlers may take a second. */
    qz_set_retry(&link, 2, 3000);
    printf("qzlink firmware on mps2-an385: waiting for the daemon\n");
    if (!run_until(got_message, 20000)) {
        printf("!! no word from the daemon\n");
        exit(2);
    }
    for (i = 0; i < STEPS; i++) {
        uint8_t out[64];
        const int n = steps[i].encode(out, sizeof out);
        run_until(got_reply, 5000);
        waiting = 1;
        printf("-> %s\n", steps[i].name);
        if (n <= 0 || qz_send(&link, out, (size_t)n) <= 0) printf("!! not sent\n");
        if (!run_until(got_reply, 5000)) {
            printf("!! no reply to %s\n", steps[i].name);
            break;
        }
    }
    /* The layout's answer and the reports it brings. */
    run_until(never, 2000);
    printf("stats: frames %u acks %u noise %u bad %u cut %u oversized %u resent %u lost %u\n",
           link.stats.frames, link.stats.acks, link.stats.noise, link.stats.bad, link.stats.cut,
           link.stats.oversized, link.stats.resent, link.stats.lost);
    printf("done: %u of %u replies, layout %s\n", replies, (unsigned)STEPS,
           layout_answered ? "answered" : "never asked");
    exit(replies == STEPS && layout_answered ? 0 : 1);
}
