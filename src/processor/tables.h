// The processor's pure tables: run-state codes, filter slot types, sampling
// rates and speaker layouts. No JSON and no commands, so the MCU console
// links them to decode what the daemon sends.
#pragma once

#include <array>
#include <cstddef>

#include "common/public.h"

// Processor state codes.
constexpr uchar kDiracStateIdle = 0;     // capture socket only
constexpr uchar kDiracStateReady = 1;    // command socket up
constexpr uchar kDiracStatePlaying = 3;  // playback process running
constexpr uchar kDiracStateNone = 4;     // no processor files

struct SlotTypeCode {
    const char* filterType;  // "filter_type" text, compared without regard to case
    uchar code;
};

inline constexpr std::array<SlotTypeCode, 4> kSlotTypeCodes = {{
    {"Dirac Live Bass Management", 3},
    {"Dirac Live Bass Control", 1},
    {"Dirac Active Room Treatment", 2},
    {"Dirac Live Active Room Treatment", 2},
}};

// Type code of a "filter_type" text; 0 for any other text or null.
uchar GetSlotTypeCode(const char* filterType);
// The first table text with that code; "Other" for 0 and unknown codes.
const char* GetSlotTypeName(uchar code);

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
