// Test helper: what a whole key check must look like from the terminal's side and in the
// result file, for the end-to-end runs of keyprobe against termsim (serial and TCP).
//
//   testsupport::KeyCheckExpectation e;      // every key loaded, every status 00
//   e.master[1].fetchStatus = 0xF8;          // ... except what the test set up
//   EXPECT_EQ(testsupport::ExpectedResultFile(e), resultText);
//   testsupport::ExpectFrames(sim.transcript(), e);
//   testsupport::ExpectPauses(sim.transcript());
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "KeyProbeTexts.h"
#include "TermsimProcess.h"

namespace testsupport {

// A status the run follows with the 0x81 query for the terminal's last error.
inline bool IsErrorStatus(int status) { return status != 0x00 && status != 0x80 && status != 0xF0; }

// What the terminal does with one slot, as the wire shows it and as the run sees it.
struct KeySlot {
    int requestStatus = 0x00;  // status of the key-test reply; -1: no reply at all
    int fetchStatus = 0x00;    // status byte of the fetch reply on the wire; -1: no reply at all
    int fetchSeen = -1;        // status the run reads from the fetch reply (-1: as on the wire)
};

struct KeyCheckExpectation {
    KeySlot master[10];
    KeySlot dukpt[10];
};

// A terminal that answers no key test from the master slot given on, nor any DUKPT one.
inline void NoRepliesFrom(KeyCheckExpectation& e, int masterSlot) {
    for (int slot = masterSlot; slot < 10; ++slot)
        e.master[slot].requestStatus = -1;
    for (int slot = 0; slot < 10; ++slot)
        e.dukpt[slot].requestStatus = -1;
}

// The data of the key-test request ('a' for master/session, 'b' for DUKPT keys).
inline ByteVec KeyTestData(bool bMaster, int slot) {
    ByteVec d{static_cast<std::uint8_t>(bMaster ? ' ' : 'p'), static_cast<std::uint8_t>(slot)};
    const std::string account = "0123456789";
    d.insert(d.end(), account.begin(), account.end());
    d.push_back(0);
    d.push_back(0);
    const std::string prompt = "Testing...";
    d.insert(d.end(), prompt.begin(), prompt.end());
    d.push_back(0xFF);
    d.insert(d.end(), 8, '0');
    return d;
}

// The frames keyprobe must send, in order: per slot the key test, the 0x81 query after an
// error status, the fetch after an accepted key test (and its query), and the follow-up.
// A reply that never came is no status and brings no query.
inline std::vector<ByteVec> ExpectedFrames(const KeyCheckExpectation& e) {
    const ByteVec query = {0x05, 0x04, 0x81, 0x80};
    const ByteVec fetch = {0x05, 0x04, 0x16, 0x17};
    std::vector<ByteVec> frames;
    for (int group = 0; group < 2; ++group) {
        const bool bMaster = group == 0;
        const std::uint8_t command = bMaster ? 'a' : 'b';
        for (int slot = 0; slot < 10; ++slot) {
            const KeySlot& s = bMaster ? e.master[slot] : e.dukpt[slot];
            const ByteVec request = vliFrame(command, KeyTestData(bMaster, slot));
            EXPECT_EQ(37u, request.size());
            frames.push_back(request);
            if (s.requestStatus >= 0 && IsErrorStatus(s.requestStatus))
                frames.push_back(query);
            if (s.requestStatus == 0) {
                frames.push_back(fetch);
                if (s.fetchStatus >= 0 && IsErrorStatus(s.fetchStatus))
                    frames.push_back(query);
            }
            frames.push_back(vliFrame(command, {static_cast<std::uint8_t>(bMaster ? 'Q' : 'r')}));
        }
    }
    return frames;
}

// A key is present when its key test was accepted and the fetch did not report it
// absent (F8 or F1); a fetch that got no reply does not make it absent.
inline std::string ExpectedResultFile(const KeyCheckExpectation& e) {
    std::vector<bool> present[2];
    for (int group = 0; group < 2; ++group) {
        for (int slot = 0; slot < 10; ++slot) {
            const KeySlot& s = group == 0 ? e.master[slot] : e.dukpt[slot];
            const int seen = s.fetchSeen >= 0 ? s.fetchSeen : s.fetchStatus;
            present[group].push_back(s.requestStatus == 0 && seen != 0xF8 && seen != 0xF1);
        }
    }
    return ResultFile(present[0], present[1]);
}

// Every frame keyprobe sent, byte for byte and in order, and nothing else on the line.
inline void ExpectFrames(const TermsimTranscript& t, const KeyCheckExpectation& e) {
    const std::vector<ByteVec> expected = ExpectedFrames(e);
    const std::vector<ByteVec> actual = t.rxFrames();
    for (size_t i = 0; i < expected.size() && i < actual.size(); ++i)
        ASSERT_EQ(bytesToHex(expected[i]), bytesToHex(actual[i])) << "frame " << i;
    EXPECT_EQ(expected.size(), actual.size());
    ByteVec allExpected;
    for (const ByteVec& f : expected)
        allExpected.insert(allExpected.end(), f.begin(), f.end());
    EXPECT_EQ(bytesToHex(allExpected), bytesToHex(t.rxBytes()));
}

// The run pauses 250 ms after each slot's fetch and again after its follow-up: so each
// follow-up and each key test but the first reaches the terminal at least that long after
// the terminal's last reply. Only the lower bound is checked; it holds however slow the
// machine is.
inline void ExpectPauses(const TermsimTranscript& t) {
    double lastTx = -1;
    int firstRequestSeen = 0;
    int checked = 0;
    for (const auto& entry : t.entries()) {
        if (entry.tag == "TX") {
            lastTx = entry.ms;
            continue;
        }
        if (entry.tag != "RXF")
            continue;
        const VliFrame f = parseVliFrame(entry.bytes);
        const bool bFollowUp = f.data.size() == 1 && ((f.command == 'a' && f.data[0] == 'Q') ||
                                                      (f.command == 'b' && f.data[0] == 'r'));
        const bool bKeyTest = (f.command == 'a' || f.command == 'b') && f.data.size() == 33;
        if (bKeyTest && firstRequestSeen++ == 0)
            continue;
        if (bFollowUp || bKeyTest) {
            ++checked;
            EXPECT_GE(entry.ms - lastTx, 240.0) << "frame " << bytesToHex(entry.bytes) << " came too soon";
        }
    }
    EXPECT_EQ(39, checked);
}

// What keyprobe-check --keys must show of each slot, in run order: its table line up to
// the time, and its JSON object up to the terminal's texts.
struct KeyReportRow {
    std::string line;
    std::string json;
};

inline std::vector<KeyReportRow> ExpectedKeyReportRows(const KeyCheckExpectation& e) {
    auto hex = [](int status) {
        char sz[16];
        std::snprintf(sz, sizeof sz, "0x%02X", status);
        return std::string(sz);
    };
    std::vector<KeyReportRow> rows;
    for (int group = 0; group < 2; ++group) {
        for (int slot = 0; slot < 10; ++slot) {
            const KeySlot& s = group == 0 ? e.master[slot] : e.dukpt[slot];
            const int seen = s.fetchSeen >= 0 ? s.fetchSeen : s.fetchStatus;
            const bool bPresent = s.requestStatus == 0 && seen != 0xF8 && seen != 0xF1;
            const bool bFetchAnswered = s.requestStatus == 0 && s.fetchStatus >= 0;
            char szLine[64];
            std::snprintf(
                szLine, sizeof szLine, "%-5s  %4d  %-7s  %-8s  %-8s", group == 0 ? "M/S" : "DUKPT", slot,
                bPresent ? "yes" : "no", s.requestStatus >= 0 ? hex(s.requestStatus).c_str() : "no reply",
                s.requestStatus != 0 ? "not sent" : (bFetchAnswered ? hex(seen).c_str() : "no reply"));
            const std::string json =
                std::string("{\"kind\": \"") + (group == 0 ? "master/session" : "dukpt") +
                "\", \"slot\": " + std::to_string(slot) + ", \"present\": " + (bPresent ? "true" : "false") +
                ", \"request_status\": " + (s.requestStatus >= 0 ? std::to_string(s.requestStatus) : "null") +
                ", \"fetch_status\": " + (bFetchAnswered ? std::to_string(seen) : "null") +
                ", \"terminal_texts\": ";
            rows.push_back({szLine, json});
        }
    }
    return rows;
}

// A finished keyprobe run: what it printed and the result file it left.
struct KeyprobeRun {
    RunResult result;
    std::string ini;
    std::string resultText;
    bool resultExists = false;
};

#ifdef KEYPROBE_BIN
inline KeyprobeRun RunKeyprobeOn(const std::string& ini, const std::string& resultFile,
                                 const RunOptions& options) {
    KeyprobeRun run;
    run.ini = ini;
    run.result = runKeyprobe({ini, resultFile}, options);
    run.resultText = readTextFile(resultFile, &run.resultExists);
    return run;
}
#endif

// A run that went through both groups of keys, however the terminal answered. Fatal
// failures here should end the test: call it in ASSERT_NO_FATAL_FAILURE.
inline void ExpectCompletedRun(const KeyprobeRun& run) {
    ASSERT_TRUE(run.result.started);
    ASSERT_FALSE(run.result.timedOut) << run.result.out << run.result.err;
    EXPECT_EQ(0, run.result.exitCode) << run.result.err;
    EXPECT_EQ(CompletedConsole(run.ini), run.result.out);
}

// The run with mixed key states that the TCP and USBIO tests both make: absent keys (F8,
// F1), error statuses on a key test (05) and on a fetch (07), and 80 on a DUKPT key test,
// which is no error. termsim's arguments for it, and what the run must give.
inline std::vector<std::string> MixedKeyStatesArguments() {
    return {"--ms",    "L8LL1LLLLL",      "--dukpt", "LLL8LLLLL1",
            "--fault", "a:2=status:0x05", "--fault", "fetch-a:6=status:0x07",
            "--fault", "b:7=status:0x80"};
}

inline KeyCheckExpectation MixedKeyStatesExpectation() {
    KeyCheckExpectation e;
    e.master[1].fetchStatus = 0xF8;
    e.master[2].requestStatus = 0x05;  // queried with 0x81, no fetch
    e.master[4].fetchStatus = 0xF1;
    e.master[6].fetchStatus = 0x07;  // queried, but only F8 and F1 mean absent
    e.dukpt[3].fetchStatus = 0xF8;
    e.dukpt[7].requestStatus = 0x80;  // no query, no fetch
    e.dukpt[9].fetchStatus = 0xF1;
    return e;
}

inline void ExpectMixedKeyStatesRun(const KeyprobeRun& run, const TermsimTranscript& t) {
    const KeyCheckExpectation e = MixedKeyStatesExpectation();
    EXPECT_EQ("", run.result.err);
    ASSERT_TRUE(run.resultExists);
    EXPECT_EQ(ExpectedResultFile(e), run.resultText);

    EXPECT_TRUE(t.errors().empty()) << t.errors().front();
    ExpectFrames(t, e);
    ExpectPauses(t);
    // Six 0x81 exchanges: after the request status 05, the fetch status 07 and the four
    // absent keys (F8, F1); 80 is not an error status.
    int nQueries = 0, nAnswers = 0;
    for (const ByteVec& f : t.rxFrames())
        nQueries += bytesToHex(f) == "05 04 81 80";
    for (const ByteVec& f : t.txFrames())
        nAnswers += f.size() > 2 && f[2] == 0x81;
    EXPECT_EQ(6, nQueries);
    EXPECT_EQ(6, nAnswers);
}

// A run whose set-up failed: exit code 1, and the failure text on the console and as the
// whole result file. Call it in ASSERT_NO_FATAL_FAILURE.
inline void ExpectFailedRun(const KeyprobeRun& run) {
    ASSERT_TRUE(run.result.started);
    EXPECT_EQ(1, run.result.exitCode);
    EXPECT_EQ(FailureConsole(run.ini), run.result.out);
    EXPECT_EQ(kFailureText, run.resultText);
}

}  // namespace testsupport
