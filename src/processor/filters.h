// Filter slots: the MCU sees each slot by its position in the processor's
// list and a type code, packed into one slot byte (type << 4 | position & 0x0F).
// The processor's own slot index ("index" member) is a different number and
// is what "/api/active-slot" reports and accepts.
#pragma once

#include <array>
#include <cstddef>

#include "common/public.h"
#include "link/link.h"
#include "processor/json.h"
#include "processor/tables.h"

// Replies are built in this many bytes.
constexpr int kFilterReplySize = 2048;

// Finds a slot by processor index (isDiracIndex) or by position; on a match
// *index becomes its slot byte and its name is copied to dest (destSize bytes,
// cut to fit with its NUL). dest is empty when nothing matches.
void doGetDiracSlotInfo(uchar* dest, size_t destSize, JsonObject* slots, uchar* index,
                        bool isDiracIndex, bool autoFree);
// dest[0] = the active slot's slot byte (or the active processor index when
// no slot has it, 0xFF when unknown), its name from dest[1]. Always releases
// slots; releases active when autoFree.
void doGetDiracFilterInfo(uchar* dest, size_t destSize, JsonObject* slots, JsonObject* active,
                          bool autoFree);

// 13 02 01 -> 13 02 02 enabled count slot-byte name NUL.
int doReportDiracFilterNum(TtyData* data, uchar addr);
// The same report from an already fetched slot list (released here).
int doReportDiracFilterNumber(TtyData* data, uchar addr, JsonObject* slots);
// 13 02 0B xx pos -> 13 02 0C 00 slot-byte name NUL.
int doReportDiracFilterInfo(TtyData* data, uchar addr, uchar index);
// 13 02 15 -> 13 02 16 00 slot-byte name NUL.
int doReportDiracFilterCurrInfo(TtyData* data, uchar addr);
// 13 02 14 enabled pos -> puts filtering and the active slot, then answers
// with the filter report read back.
int doReportDiracFilterSetCurrInfo(TtyData* data, uchar addr, uchar enabled, uchar index);
