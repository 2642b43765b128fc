#include "processor/tables.h"

#include <strings.h>

#include <cstdio>

namespace {

constexpr int kSampleRates[] = {
    0,     8000,  11025, 12000, 16000,  22050,  24000,  32000, 44100,
    48000, 64000, 88200, 96000, 128000, 176400, 192000, 0,
};
static_assert(sizeof kSampleRates / sizeof kSampleRates[0] == DECODE_FREQ_MAX + 1);

}  // namespace

uchar GetSlotTypeCode(const char* filterType) {
    if (IsNull(filterType)) return 0;
    for (const SlotTypeCode& row : kSlotTypeCodes) {
        if (strcasecmp(row.filterType, filterType) == 0) return row.code;
    }
    return 0;
}

const char* GetSlotTypeName(uchar code) {
    for (const SlotTypeCode& row : kSlotTypeCodes) {
        if (row.code == code) return row.filterType;
    }
    return "Other";
}

// Labels go to the log only; their blanks line the layouts up in columns.
constexpr SpConfigRow kSpConfigTable[kSpConfigCount] = {
    {2, 0, "200: FL_FR%s                                        2.%d    2x"},
    {2, 1, "210: FL_FR%s_CS                                     2.%d.1"},
    {3, 0, "300: FL_FR_FC%s                                     3.%d    3x"},
    {4, 0, "220: FL_FR_LS_RS%s                                  4.%d    4x"},
    {3, 1, "310: FL_FR_FC%s_CS                                  3.%d.1"},
    {5, 0, "320: FL_FR_LS_RS_FC%s                               5.%d    5x"},
    {2, 3, "230: FL_FR_LS_RS%s_CS                               2.%d.3"},
    {6, 0, "240: FL_FR_LS_RS_LB_RB%s                            6.%d    6x"},
    {3, 3, "330: FL_FR_LS_RS_FC%s_CS                            3.%d.3"},
    {7, 0, "340: FL_FR_LS_RS_FC%s_LB_RB                         7.%d    7x"},
    {4, 3, "430: FL_FR_LS_RS_LW_RW%s_CS                         4.%d.3"},
    {4, 4, "440: FL_FR_LS_RS_LW_RW_LB_RB%s                      4.%d.4   8x"},
    {9, 0, "540: FL_FR_LS_RS_FC%s_LW_RW_LB_RB                   9.%d    9x"},
    {2, 2, "202: FL_FR_LTM_RTM%s                                2.%d.2  2x2"},
    {2, 0, "212: FL_FR_LTM_RTM%s_CS"},
    {3, 2, "302: FL_FR_FC%s_LTM_RTM                             3.%d.2  3x2"},
    {4, 2, "222: FL_FR_LS_RS_LTM_RTM%s                          4.%d.2  4x2"},
    {3, 2, "312: FL_FR_FC%s_LTM_RTM_CS"},
    {5, 2, "322: FL_FR_LS_RS_FC%s_LTM_RTM                       5.%d.2  5x2"},
    {2, 2, "232: FL_FR_LS_RS_LTM_RTM%s_CS"},
    {6, 2, "242: FL_FR_LS_RS_LB_RB_LTM_RTM%s                    6.%d.2  6x2"},
    {3, 2, "332: FL_FR_LS_RS_FC%s_CS_LTM_RTM"},
    {7, 2, "342: FL_FR_LS_RS_FC%s_LB_RB_LTM_RTM                 7.%d.2  7x2"},
    {9, 2, "542: FL_FR_LS_RS_FC%s_LW_RW_LB_RB_LTM_RTM           9.%d.2  9x2"},
    {4, 4, "224: FL_FR_LS_RS_LTF_RTF_LTR_RTR%s                  4.%d.4  4x4"},
    {5, 4, "324: FL_FR_LS_RS_FC%s_LTF_RTF_LTR_RTR               5.%d.4  5x4"},
    {6, 4, "244: FL_FR_LS_RS_LB_RB_LTF_RTF_LTR_RTR%s            6.%d.4  6x4"},
    {7, 4, "344: FL_FR_LS_RS_FC%s_LB_RB_LTF_RTF_LTR_RTR         7.%d.4  7x4"},
    {8, 4, "444: FL_FR_LS_RS_LW_RW_LB_RB_LTF_RTF_LTR_RTR%s      8.%d.4"},
    {9, 4, "544: FL_FR_LS_RS_FC%s_LW_RW_LB_RB_LTF_RTF_LTR_RTR   9.%d.4  9x4"},
    {7, 6, "346: FL_FR_LS_RS_FC%s_LB_RB_LTF_RTF_LTM_RTM_LTR_RTR 7.%d.6  7x6"},
    {6, 6, "246: FL_FR_LS_RS_LB_RB_LTF_RTF_LTM_RTM_LTR_RTR%s    6.%d.6  6x6"},
    {4, 2, "420: FL_FR_LS_RS_LW_RW%s                            4.%d.2   6wx"},
    {4, 6, "226: FL_FR_LS_RS_LTF_RTF_LTM_RTM_LTR_RTR%s          4.%d.6  4x6"},
    {5, 6, "326: FL_FR_LS_RS_FC%s_LTF_RTF_LTM_RTM_LTR_RTR       5.%d.6  5x6"},
    {6, 2, "422: FL_FR_LS_RS_LW_RW_LTM_RTM%s                    6.%d.2  6wx2"},
    {6, 4, "424: FL_FR_LS_RS_LW_RW_LTF_RTF_LTR_RTR%s            6.%d.4  6wx4"},
    {6, 6, "426: FL_FR_LS_RS_LW_RW_LTF_RTF_LTM_RTM_LTR_RTR%s    6.%d.6  6wx6"},
    {5, 2, "520: FL_FR_LS_RS_FC%s_LW_RW                         5.%d.2   7wx"},
    {7, 2, "522: FL_FR_LS_RS_FC%s_LW_RW_LTM_RTM                 7w.%d.2 7wx2"},
    {7, 4, "524: FL_FR_LS_RS_FC%s_LW_RW_LTF_RTF_LTR_RTR         7w.%d.4 7wx4"},
    {7, 6, "526: FL_FR_LS_RS_FC%s_LW_RW_LTF_RTF_LTM_RTM_LTR_RTR 7w.%d.6"},
    {8, 2, "442: FL_FR_LS_RS_LW_RW_LB_RB_LTM_RTM%s              8.%d.2  8x2"},
    {9, 6, "916: FL_FR_LS_RS_FC%s_LB_RB_LTF_RTF_LTM_RTM_LTR_RTR_LW_RW 9.%d.6"},
    {8, 6, "816: FL_FR_LS_RS_LB_RB_LTF_RTF_LTM_RTM_LTR_RTR_LW_RW%s 8.%d.6"},
};

int GetSampleRate(SamplingFreq_t code) {
    if (code <= DECODE_FREQ_MAX) return kSampleRates[code];
    return code == DECODE_FREQ_FF ? 0 : -1;
}

char* GetSpConfigText(char* dest, size_t destSize, int* speakers, uchar src, int lfe) {
    if (IsNull(dest)) return nullptr;
    if (src >= kSpConfigCount) return dest;
    const SpConfigRow& row = kSpConfigTable[src];
    if (Assigned(speakers)) {
        speakers[0] = row.x;
        speakers[1] = row.z;
    }
    // Every label has its %s before its %d; four have no %d at all.
    if (destSize > 0) snprintf(dest, destSize, row.label, lfe >= 1 ? "_LFE" : "    ", lfe);
    return dest;
}

static_assert(SpCfg_816 + 1 == kSpConfigCount, "one row for every layout code");
