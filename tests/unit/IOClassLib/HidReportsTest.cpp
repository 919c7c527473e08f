#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "HidReports.h"

namespace {

// Cuts a whole message as the port's write loop does.
std::vector<std::vector<BYTE>> CutMessage(const std::vector<BYTE>& message, WORD wReportLength) {
    std::vector<std::vector<BYTE>> reports;
    DWORD dwSent = 0;
    while (dwSent < message.size()) {
        std::vector<BYTE> report(wReportLength, 0xEE);
        dwSent += BuildHidOutputReport(report.data(), wReportLength, message.data() + dwSent,
                                       (DWORD)message.size() - dwSent);
        reports.push_back(report);
    }
    return reports;
}

std::vector<BYTE> Counting(size_t n) {
    std::vector<BYTE> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = (BYTE)(i * 7 + 1);
    return bytes;
}

// One input report in its read buffer: ID 1, the count, the payload, zeros after.
std::vector<BYTE> InputReport(const std::vector<BYTE>& payload, size_t nOffset, size_t nCount) {
    std::vector<BYTE> report(HID_INPUT_BUFFER_SIZE, 0);
    report[0] = 1;
    report[1] = (BYTE)nCount;
    for (size_t i = 0; i < nCount && nOffset + i < payload.size(); ++i)
        report[2 + i] = payload[nOffset + i];
    return report;
}

}  // namespace

TEST(HidOutputReports, MessageTakesWholeReportsWithCountsAndZeroFill) {
    struct Case {
        size_t nMessage;
        WORD wReportLength;
        std::vector<BYTE> counts;
    } cases[] = {
        {1, 65, {1}},
        {63, 65, {63}},
        {64, 65, {63, 1}},
        {126, 65, {63, 63}},
        {127, 65, {63, 63, 1}},
        {300, 65, {63, 63, 63, 63, 48}},
        {5, 3, {1, 1, 1, 1, 1}},
        {255, 257, {255}},
        {256, 257, {255, 1}},
    };
    for (const Case& c : cases) {
        const std::vector<BYTE> message = Counting(c.nMessage);
        const std::vector<std::vector<BYTE>> reports = CutMessage(message, c.wReportLength);
        ASSERT_EQ(c.counts.size(), reports.size()) << c.nMessage << "/" << c.wReportLength;
        std::vector<BYTE> joined;
        for (size_t r = 0; r < reports.size(); ++r) {
            const std::vector<BYTE>& report = reports[r];
            EXPECT_EQ(HID_OUTPUT_REPORT_ID, report[0]);
            EXPECT_EQ(c.counts[r], report[1]);
            joined.insert(joined.end(), report.begin() + 2, report.begin() + 2 + report[1]);
            for (size_t i = 2 + report[1]; i < report.size(); ++i)
                EXPECT_EQ(0, report[i]) << "fill at " << i;
        }
        EXPECT_EQ(message, joined);
    }
}

TEST(HidReplyAssembly, ReplyLengthComesFromTheFraming) {
    // A VLI frame: 05, length (or 0 and a 16-bit length), then the body.
    std::vector<BYTE> shortFrame = Counting(20);
    shortFrame[0] = 0x05;
    shortFrame[1] = 20;
    std::vector<BYTE> longFrame = Counting(300);
    longFrame[0] = 0x05;
    longFrame[1] = 0;
    longFrame[2] = 0x2C;
    longFrame[3] = 0x01;
    struct Case {
        const char* name;
        int nProtocol;
        DWORD dwWanted;
        std::vector<BYTE> payload;
        std::vector<size_t> reportCounts;  // what each report carries
        size_t nReportsTaken;
        DWORD dwReceived;
    } cases[] = {
        {"VLI in one report", 1, 5, shortFrame, {20}, 1, 20},
        // 300 bytes need five reports of up to 63; the sixth is never read.
        {"VLI 16-bit length", 1, 5, longFrame, {63, 63, 63, 63, 48, 63}, 5, 300},
        // The length field may come reports after the frame's start.
        {"VLI byte by byte", 1, 5, shortFrame, std::vector<size_t>(21, 1), 20, 20},
        {"VLI 16-bit length split inside it", 1, 5, longFrame, {1, 2, 63, 63, 63, 63, 45, 9}, 7, 300},
        // A raw reply is one report whatever the caller wanted.
        {"raw one report", 0, 10, Counting(6), {6, 6}, 1, 6},
        {"STX single byte", 2, 1, Counting(4), {4, 4}, 1, 1},
    };
    for (const Case& c : cases) {
        std::vector<BYTE> buffer(1024, 0xEE);
        HidReplyAssembler reply(c.nProtocol, c.dwWanted, buffer.data(), (DWORD)buffer.size());
        size_t nTaken = 0;
        size_t nOffset = 0;
        for (size_t nCount : c.reportCounts) {
            if (reply.IsComplete())
                break;
            reply.TakeReport(InputReport(c.payload, nOffset, nCount).data(), 65);
            nOffset += nCount;
            ++nTaken;
        }
        EXPECT_TRUE(reply.IsComplete()) << c.name;
        EXPECT_EQ(c.nReportsTaken, nTaken) << c.name;
        EXPECT_EQ(c.dwReceived, reply.Received()) << c.name;
        EXPECT_FALSE(reply.Overflowed()) << c.name;
        const size_t nCompared = c.nProtocol == 2 ? 1 : c.dwReceived;
        EXPECT_TRUE(std::equal(c.payload.begin(), c.payload.begin() + nCompared, buffer.begin())) << c.name;
    }
}
