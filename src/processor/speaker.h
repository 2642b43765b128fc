// The speaker layout and the decoder's sampling frequency, as the MCU knows
// them, passed on to the processor through the control script.
#pragma once

#include <cstddef>

#include "common/public.h"
#include "link/link.h"
#include "processor/tables.h"

// The dispatcher's speaker-layout message 06 23 02 code lfe (exactly 5
// bytes): logs it and queues it. -1 for any other message.
int doSpeakerLayoutMessage(TtyData* data, const uchar* cmd, int size);
// The queued layout under StateMutex: X, Z, LFE count; X <= 0: nothing
// queued. Written by the receive thread, taken by the state monitor.
extern int SpeakerInfos[3];
// Queues a layout (a later one replaces the earlier); result 1.
int SetSpeakerInfos(int x, int z, int lfe);
// Runs the script for the layout (speakers: X, Z), waits 1 s and sends the
// filter report to 0x43.
int doSpeakerConfig(TtyData* ttyData, const int* speakers, int lfe);
// The monitor's turn: carries out the queued layout; 0 when none was queued,
// 1 when done.
int doCheckSpeakerConfig(TtyData* ttyData);
// 02 7E .. .. code (cmd from byte 2): runs "sample_rate" for a known rate.
int doAudioInfoReport(TtyData* data, uchar addr, const uchar* cmd, int size);
