// The speaker layout and the decoder's sampling frequency, as the MCU knows
// them, passed on to the processor through the control script.
#pragma once

#include <pthread.h>

#include <cstddef>

#include "common/public.h"
#include "link/link.h"

// The decoder's sampling-frequency code (one byte on the line).
enum SamplingFreq_t : uchar {
    DECODE_FREQ_UnKnown = 0,
    DECODE_FREQ_8K,
    DECODE_FREQ_11K,
    DECODE_FREQ_12K,
    DECODE_FREQ_16K,
    DECODE_FREQ_22K,
    DECODE_FREQ_24K,
    DECODE_FREQ_32K,
    DECODE_FREQ_44K,
    DECODE_FREQ_48K,
    DECODE_FREQ_64K,
    DECODE_FREQ_88K,
    DECODE_FREQ_96K,
    DECODE_FREQ_128K,
    DECODE_FREQ_176K,
    DECODE_FREQ_192K,
    DECODE_FREQ_MAX,
    DECODE_FREQ_FF = 255,
};

// The speaker-layout code (one byte on the line), 0 to 44.
enum SpConfig_t : uchar {
    SpCfg_200,
    SpCfg_210,
    SpCfg_300,
    SpCfg_220,
    SpCfg_310,
    SpCfg_320,
    SpCfg_230,
    SpCfg_240,
    SpCfg_330,
    SpCfg_340,
    SpCfg_430,
    SpCfg_440,
    SpCfg_540,
    SpCfg_202,
    SpCfg_212,
    SpCfg_302,
    SpCfg_222,
    SpCfg_312,
    SpCfg_322,
    SpCfg_232,
    SpCfg_242,
    SpCfg_332,
    SpCfg_342,
    SpCfg_542,
    SpCfg_224,
    SpCfg_324,
    SpCfg_244,
    SpCfg_344,
    SpCfg_444,
    SpCfg_544,
    SpCfg_346,
    SpCfg_246,
    SpCfg_420,
    SpCfg_226,
    SpCfg_326,
    SpCfg_422,
    SpCfg_424,
    SpCfg_426,
    SpCfg_520,
    SpCfg_522,
    SpCfg_524,
    SpCfg_526,
    SpCfg_442,
    SpCfg_916,
    SpCfg_816,
};

struct SpConfigRow {
    int x;              // speakers element 0
    int z;              // speakers element 1
    const char* label;  // %s: "_LFE" or four blanks, then (mostly) %d: the LFE count
};
constexpr int kSpConfigCount = 45;
// Indexed by the layout code.
extern const SpConfigRow kSpConfigTable[kSpConfigCount];

// Big enough for every label with any LFE count.
constexpr int kSpConfigTextSize = 128;

// Hz for a code; 0 for unknown, 16 and 255; -1 for any other code.
int GetSampleRate(SamplingFreq_t code);
// For codes 0..44 sets speakers to (X, Z) and writes the label into dest
// (destSize bytes); any other code leaves both alone. Returns dest.
char* GetSpConfigText(char* dest, size_t destSize, int* speakers, uchar src, int lfe);

// The dispatcher's speaker-layout message 06 23 02 code lfe (exactly 5
// bytes): logs it and queues it. -1 for any other message.
int doSpeakerLayoutMessage(TtyData* data, const uchar* cmd, int size);
// With a lock: queue (a later layout replaces the earlier). Without: run the
// script, wait 1 s and send the filter report to 0x43.
int doSpeakerConfig(TtyData* ttyData, pthread_mutex_t* mutex, const int* speakers, int lfe);
// The monitor's turn: -1 without a lock, 0 when nothing queued, 1 when done.
int doCheckSpeakerConfig(TtyData* ttyData, pthread_mutex_t* mutex);
// 02 7E .. .. code (cmd from byte 2): runs "sample_rate" for a known rate.
int doAudioInfoReport(TtyData* data, uchar addr, const uchar* cmd, int size);
