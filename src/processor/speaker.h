// The speaker layout and the decoder's sampling frequency, as the MCU knows
// them, passed on to the processor through the control script.
#pragma once

#include <pthread.h>

#include <cstddef>

#include "common/public.h"
#include "link/link.h"
#include "processor/tables.h"

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
