// Test helper: the ways a terminal's replies may reach keyprobe besides in one piece and
// on time (cut at any byte, header and body apart, late, with stray bytes behind them),
// as rows of termsim arguments with the key check each must still give. Shared by the
// end-to-end runs over TCP and over a pseudo-terminal.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "KeyCheckExpectation.h"

namespace testsupport {

struct ReplyDeliveryRow {
    const char* name;
    const char* masterKeys;  // termsim --ms: L loaded, 8 absent (F8), 1 absent (F1)
    const char* dukptKeys;
    std::vector<std::string> faults;  // termsim --fault rules
    // Slots whose fetch reply comes after the fetch gave up: no reply, so present.
    std::vector<int> lateMasterFetches;
    std::vector<int> lateDukptFetches;
    // Whether the frames on the wire are those of replies that came whole and in time;
    // a late reply is read by the exchange after it, which may query its status.
    bool wireAsUsual;
    // Whether the row means anything over a serial line, where a reply is late only
    // after a minute.
    bool serialToo;
};

inline void PrintTo(const ReplyDeliveryRow& row, std::ostream* os) { *os << row.name; }

inline KeyCheckExpectation ExpectationOf(const ReplyDeliveryRow& row) {
    KeyCheckExpectation e;
    for (int slot = 0; slot < 10; ++slot) {
        const char* keys[2] = {row.masterKeys, row.dukptKeys};
        KeySlot* slots[2] = {e.master, e.dukpt};
        for (int group = 0; group < 2; ++group)
            slots[group][slot].fetchStatus = keys[group][slot] == '8'   ? 0xF8
                                             : keys[group][slot] == '1' ? 0xF1
                                                                        : 0x00;
    }
    for (int slot : row.lateMasterFetches)
        e.master[slot].fetchStatus = -1;
    for (int slot : row.lateDukptFetches)
        e.dukpt[slot].fetchStatus = -1;
    return e;
}

inline std::vector<std::string> TermsimArguments(const ReplyDeliveryRow& row) {
    std::vector<std::string> args = {"--ms", row.masterKeys, "--dukpt", row.dukptKeys};
    for (const std::string& fault : row.faults) {
        args.push_back("--fault");
        args.push_back(fault);
    }
    return args;
}

// Every key absent, or a mix; the cut positions vary with the slot, so that every
// command's reply is cut at each of the first four bytes somewhere in the run.
inline std::vector<ReplyDeliveryRow> ReplyDeliveryRows() {
    const char* kAllAbsentMs = "8888888888";
    const char* kAllAbsentDukpt = "1111111111";
    return {
        {"CutAfterByte1To4_5msApart",
         kAllAbsentMs,
         kAllAbsentDukpt,
         {"*:0,4,8=split-at:1:5ms", "*:1,5,9=split-at:2:5ms", "*:2,6=split-at:3:5ms", "*:3,7=split-at:4:5ms"},
         {},
         {},
         true,
         true},
        {"FetchRepliesCutAfterByte1To4_300msApart",
         "L8L1L8L1L8",
         "1L8L1L8L1L",
         {"fetch:0,4,8=split-at:1:300ms", "fetch:1,5,9=split-at:2:300ms", "fetch:2,6=split-at:3:300ms",
          "fetch:3,7=split-at:4:300ms"},
         {},
         {},
         true,
         false},
        {"HeaderAndBodyInSeparateSegments",
         kAllAbsentMs,
         kAllAbsentDukpt,
         {"*:*=header-split:20ms"},
         {},
         {},
         true,
         true},
        {"LongFormCutInsideItsLengthField",
         kAllAbsentMs,
         kAllAbsentDukpt,
         {"a:*=long-form+split-at:3:5ms", "b:*=long-form+split-at:2:5ms"},
         {},
         {},
         true,
         true},
        {"LateFetchRepliesThenNormalOnes",
         kAllAbsentMs,
         kAllAbsentDukpt,
         {"fetch-a:3=delay:1500ms", "fetch-b:6=delay:1500ms"},
         {3},
         {6},
         false,
         false},
        {"StrayBytesAfterAReply",
         "L8L1L8L1L8",
         kAllAbsentDukpt,
         {"fetch-a:2=trailing:AABB", "b:5=trailing:05", "Q:7=trailing:0506"},
         {},
         {},
         true,
         true},
    };
}

}  // namespace testsupport
