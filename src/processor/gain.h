// The MCU's main volume is the processor's speaker gain: whole dB at the
// processor, signed 16-bit tenths of a dB on the line. Also the processor's
// run state from its state files.
#pragma once

#include "common/public.h"
#include "link/link.h"
#include "processor/json.h"
#include "processor/tables.h"

// The gain in dB taken when the processor's reply or its settings file has
// none that can be used.
constexpr int kDiracDefaultGainDb = -37;

// The whole-dB gain of a processor "gain" value: rounded half away from
// zero; kept within what tenths of a dB fit in 16 bits; -37 when unusable.
int ToGainDb(double gain);

// 13 06 01 -> 13 06 02 gain*10 (big-endian).
int doDiracMainVolGet(TtyData* data, uchar addr);
// Reports the "gain" of a parsed "/api/speaker" reply; releases it when autoFree.
int doDiracGetGain(TtyData* data, JsonObject* speaker, uchar addr, bool autoFree);
// 13 06 00 hi lo (cmd from byte 3): queues the gain for the state monitor,
// which answers to addr after putting it. -1 when the two bytes are missing.
int doDiracMainVolSet(TtyData* data, uchar addr, const uchar* cmd, int size);

// The queued main-volume set under StateMutex: reply address (0: nothing
// queued) and gain in 0.1 dB. Written by the receive thread, taken by the
// state monitor.
extern short DiracGainInfo[2];
// Queues a gain (a later request replaces the earlier); result 1.
int SetDiracGainInfo(uchar addr, short gain);
// Puts the gain in whole dB and reports what the processor then holds.
int doDiracGain(TtyData* data, uchar addr, short gain);
// The monitor's turn: carries out the queued gain; 0 when none was queued,
// 1 when done.
int doCheckDiracGain(TtyData* data);

uchar GetDiracState();
// 13 01 02 state [code]: the code byte only for state 4.
int doReportDiracState(TtyData* data, uchar state, uchar code, uchar addr);
