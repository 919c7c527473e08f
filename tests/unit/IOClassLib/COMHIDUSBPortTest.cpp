// The HID port and its ComUsb operations against a scripted virtual HID device: result
// codes, how messages are cut into reports, how replies are put together, devices that
// are refused, and the failures of a silent or vanished device.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "COMHIDUSBPort.h"
#include "DebugFile.h"
#include "FakeHidServer.h"
#include "HexBytes.h"
#include "TempFiles.h"
#include "TempRegistryStore.h"

using testsupport::ByteVec;
using testsupport::FakeHidServer;
using vdev::HidDeviceShape;

namespace {

ByteVec Counting(std::size_t n, std::uint8_t first = 1) {
    ByteVec bytes(n);
    for (std::size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<std::uint8_t>(first + i * 3);
    return bytes;
}

// A port opened on the fake device, with a short time-out so that a silent device fails
// quickly.
struct OpenedPort {
    explicit OpenedPort(CDebugFile* pLog = NULL) : port(pLog, 4096) {
        opened = port.OpenPort() != FALSE;
        port.m_ReadWriteTimeout = 2000;
    }
    CCOMHIDUSBPort port;
    bool opened = false;
};

// The terminal's device as the port tests want it: 1209:0001, 65-byte numbered reports.
std::vector<testsupport::FakeHidDevice> Terminal(const HidDeviceShape& shape = HidDeviceShape()) {
    return {testsupport::FakeHidDevice{7, shape}};
}

// An input report of that device: ID 1, count, payload, zeros.
ByteVec InputReport(const ByteVec& payload) {
    ByteVec report(65, 0);
    report[0] = 1;
    report[1] = static_cast<std::uint8_t>(payload.size());
    std::copy(payload.begin(), payload.begin() + std::min<std::size_t>(payload.size(), 63),
              report.begin() + 2);
    return report;
}

// The input reports that carry a reply of these bytes (63 to a report).
std::vector<ByteVec> ReplyReports(const ByteVec& reply) {
    std::vector<ByteVec> reports;
    for (std::size_t at = 0; at < reply.size(); at += 63)
        reports.push_back(
            InputReport(ByteVec(reply.begin() + at, reply.begin() + std::min(reply.size(), at + 63))));
    return reports;
}

}  // namespace

TEST(ComUsbResultCodes, ArgumentsAndContextStateAreCheckedFirst) {
    CCOMHIDUSBPort port(NULL, 4096);
    COMMTIMEOUTS timeouts = {1000, 0, 5000, 0, 1000};
    ComUsbContext ctx;
    memset(&ctx, 0, sizeof(ctx));

    EXPECT_EQ(COMUSB_INVALID_ARGUMENT, port.ComUsbConnect(NULL));
    EXPECT_EQ(COMUSB_NOT_INITIALISED, port.ComUsbConnect(&ctx));
    EXPECT_EQ(COMUSB_NOT_INITIALISED, port.ComUsbAddDeviceId(&ctx, 0x1209, 1));
    EXPECT_EQ(COMUSB_INVALID_ARGUMENT, port.ComUsbInitializeDebug(&ctx, NULL, NULL));

    ASSERT_EQ(COMUSB_SUCCESS, port.ComUsbInitialize(&ctx, &timeouts));
    EXPECT_EQ(COMUSB_CONTEXT_MAGIC, ctx.dwMagic);
    EXPECT_EQ(INVALID_HANDLE_VALUE, ctx.hDevice);
    EXPECT_EQ(COMUSB_NO_DEVICE_IDS, port.ComUsbConnect(&ctx));
    EXPECT_EQ(COMUSB_NO_DEVICE_IDS, port.ComUsbGetLastError(&ctx));

    for (WORD i = 0; i < COMUSB_MAX_DEVICE_IDS; ++i)
        EXPECT_EQ(COMUSB_SUCCESS, port.ComUsbAddDeviceId(&ctx, 0x1209, i));
    EXPECT_EQ(COMUSB_TOO_MANY_IDS, port.ComUsbAddDeviceId(&ctx, 0xFFFF, 0xFFFF));
    EXPECT_EQ(COMUSB_MAX_DEVICE_IDS, ctx.nDeviceIds);
    EXPECT_EQ(9, ctx.wProductIds[9]);

    ctx.bConnected = 1;
    EXPECT_EQ(COMUSB_ALREADY_CONNECTED, port.ComUsbConnect(&ctx));
    ctx.bConnected = 0;

    EXPECT_EQ(COMUSB_SUCCESS, port.ComUsbUninitialize(&ctx));
    EXPECT_EQ(0u, ctx.dwMagic);
    EXPECT_EQ(COMUSB_NOT_INITIALISED, port.ComUsbUninitialize(&ctx));
}

TEST(HidPortConnect, OnlyAnAcceptedDeviceWithUsableReportLengthsIsOpened) {
    struct Case {
        const char* name;
        WORD productId;
        unsigned inputLength;
        unsigned outputLength;
        bool numbered;
        bool opens;
    } cases[] = {
        {"numbered 65/65", 0x0001, 65, 65, true, true},
        {"last accepted product", 0x0008, 65, 65, true, true},
        {"unnumbered 65/65", 0x0002, 65, 65, false, true},
        {"foreign product", 0x0009, 65, 65, true, false},
        {"output report without room", 0x0001, 65, 2, true, false},
        {"input report too long for its count", 0x0001, 258, 65, true, false},
        {"longest usable", 0x0001, 257, 257, true, true},
    };
    for (const Case& c : cases) {
        HidDeviceShape shape;
        shape.productId = c.productId;
        shape.inputLength = c.inputLength;
        shape.outputLength = c.outputLength;
        shape.numbered = c.numbered;
        FakeHidServer device(Terminal(shape));
        ASSERT_TRUE(device.ok());
        OpenedPort open;
        EXPECT_EQ(c.opens, open.opened) << c.name;
        EXPECT_EQ(c.opens, open.port.IsOpen() != FALSE) << c.name;
        if (c.opens) {
            EXPECT_EQ(c.inputLength, open.port.m_wInputPacketSize) << c.name;
            EXPECT_EQ(c.outputLength, open.port.m_wOutputPacketSize) << c.name;
            EXPECT_EQ(c.productId, open.port.m_USBCtx.Attributes.ProductID) << c.name;
        } else {
            EXPECT_EQ(-1, open.port.m_USBCtx.nLastError) << c.name;
        }
    }
}

// The device list of a connect that did not find the terminal is not kept: a later open
// finds a terminal that has come since, without a ClosePort in between.
TEST(HidPortConnect, AFailedOpenDoesNotStickOnceTheTerminalIsThere) {
    for (bool bGoneAfterAnOpen : {false, true}) {
        SCOPED_TRACE(bGoneAfterAnOpen ? "gone after an open" : "absent at the first open");
        std::vector<testsupport::FakeHidDevice> devices = Terminal();
        devices[0].bPresent = bGoneAfterAnOpen;
        FakeHidServer device(devices);
        ASSERT_TRUE(device.ok());
        CCOMHIDUSBPort port(NULL, 4096);
        if (bGoneAfterAnOpen) {
            ASSERT_TRUE(port.OpenPort());
            device.Unplug(0);
        }
        EXPECT_FALSE(port.OpenPort());
        device.Plug(0);
        ASSERT_TRUE(port.OpenPort());
        BYTE request = 0x16;
        DWORD n = 1;
        EXPECT_TRUE(port.Write(&request, 1, &n));
    }
}

TEST(HidPortWrite, MessageLeavesInWholeReportsOfTheDevicesLength) {
    FakeHidServer device(Terminal());
    OpenedPort open;
    ASSERT_TRUE(open.opened);
    struct Case {
        std::size_t length;
        std::vector<int> counts;
    } cases[] = {{0, {}}, {1, {1}}, {63, {63}}, {64, {63, 1}}, {126, {63, 63}}, {300, {63, 63, 63, 63, 48}}};
    std::size_t seen = 0;
    for (const Case& c : cases) {
        const ByteVec message = Counting(c.length);
        DWORD n = (DWORD)c.length;
        EXPECT_TRUE(open.port.Write(message.data(), n, &n)) << c.length;
        EXPECT_EQ(c.length, n);
        // A write is done once the device has taken every report.
        const std::vector<ByteVec> reports = device.Outputs();
        ASSERT_EQ(seen + c.counts.size(), reports.size()) << c.length;
        ByteVec joined;
        for (std::size_t r = 0; r < c.counts.size(); ++r) {
            const ByteVec& report = reports[seen + r];
            ASSERT_EQ(65u, report.size());
            EXPECT_EQ(2, report[0]);
            EXPECT_EQ(c.counts[r], report[1]);
            joined.insert(joined.end(), report.begin() + 2, report.begin() + 2 + report[1]);
            EXPECT_TRUE(std::all_of(report.begin() + 2 + report[1], report.end(),
                                    [](std::uint8_t b) { return b == 0; }));
        }
        EXPECT_EQ(message, joined) << c.length;
        seen = reports.size();
    }
}

// A device that holds a report (NAKs it) makes that report's write wait out its time-out:
// the write fails with what was sent before it, and a retry sends the whole message again.
// The port waits for the request it cancels before it frees its buffers (the
// PortsWithAsyncCancelIo run catches one that does not).
TEST(HidPortWrite, AReportTheDeviceHoldsTimesOutAndARetrySendsTheWholeMessage) {
    const ByteVec message = Counting(64);
    const ByteVec first = {2, 63, message[0]};
    const ByteVec second = {2, 1, message[63]};
    for (bool bRetry : {false, true}) {
        SCOPED_TRACE(bRetry ? "with a retry" : "without a retry");
        testsupport::TempDir dir("hid-port-hold");
        const std::string logFile = dir.file("log.txt");
        FakeHidServer device(Terminal());
        device.Expect({{first, {}}, {second, {}, false, true}});
        if (bRetry)
            device.Expect({{first, {}}, {second, {}}});
        {
            testsupport::TempRegistryStore store(
                dir.file("registry.reg"), testsupport::debugLogStore("SOFTWARE\\HidPortTest", logFile));
            CDebugFile log("SOFTWARE\\HidPortTest");
            OpenedPort open(&log);
            ASSERT_TRUE(open.opened);
            open.port.m_ReadWriteTimeout = 300;
            open.port.m_bFirstRetry = bRetry;
            DWORD n = (DWORD)message.size();
            EXPECT_EQ(bRetry, open.port.Write(message.data(), n, &n) != FALSE);
            EXPECT_EQ(bRetry ? 64u : 63u, n);
        }
        EXPECT_EQ("", device.Mismatches());
        // The held report is not among those taken.
        const std::vector<ByteVec> starts =
            bRetry ? std::vector<ByteVec>{first, first, second} : std::vector<ByteVec>{first};
        const std::vector<ByteVec> taken = device.Outputs();
        ASSERT_EQ(starts.size(), taken.size());
        for (std::size_t i = 0; i < taken.size(); ++i)
            EXPECT_TRUE(std::equal(starts[i].begin(), starts[i].end(), taken[i].begin())) << i;
        const std::string text = testsupport::readTextFile(logFile);
        EXPECT_NE(std::string::npos, text.find("WriteFile() timed out w/ TO=300\n")) << text;
    }
}

TEST(HidPortRead, ReplyIsPutTogetherAsTheFramingSays) {
    ByteVec longReply = Counting(300);
    longReply[0] = 0x05;
    longReply[1] = 0;
    longReply[2] = 0x2C;
    longReply[3] = 0x01;
    ByteVec shortReply = {0x05, 0x05, 0x61, 0x00, 0x61};
    struct Case {
        const char* name;
        int protocol;
        ByteVec reply;
        DWORD wanted;
        DWORD buffer;
        BOOL result;
        DWORD count;
    } cases[] = {
        {"VLI in one report", 1, shortReply, 5, 1024, TRUE, 5},
        {"VLI 300 bytes in five reports", 1, longReply, 5, 1024, TRUE, 300},
        // Raw: one report, whatever was asked for; too few bytes fail the read.
        {"raw short", 0, Counting(6), 10, 1024, FALSE, 6},
        // Longer than the caller's buffer: read to its end, so the next exchange is in step;
        // fails, and says how long the reply was.
        {"VLI beyond the buffer", 1, longReply, 5, 100, FALSE, 300},
    };
    for (const Case& c : cases) {
        FakeHidServer device(Terminal());
        device.Expect({{{2, 1, 0x16}, ReplyReports(c.reply)}});
        OpenedPort open;
        ASSERT_TRUE(open.opened) << c.name;
        open.port.SetProtocolType(c.protocol);
        DWORD n = 1;
        BYTE request = 0x16;
        ASSERT_TRUE(open.port.Write(&request, 1, &n)) << c.name;
        // The caller's buffer with a guard zone behind it.
        std::vector<BYTE> memory(c.buffer + 64, 0xEE);
        n = c.wanted;
        EXPECT_EQ(c.result, open.port.Read(memory.data(), c.buffer, &n)) << c.name;
        EXPECT_EQ(c.count, n) << c.name;
        const std::size_t stored = std::min<std::size_t>(c.count, c.buffer);
        EXPECT_TRUE(std::equal(c.reply.begin(), c.reply.begin() + stored, memory.begin())) << c.name;
        EXPECT_TRUE(std::all_of(memory.begin() + c.buffer, memory.end(), [](BYTE b) { return b == 0xEE; }))
            << c.name;
    }
}

// A legal reply longer than the caller's buffer comes whole, however many reports it
// takes, and the next exchange starts at a frame. A reply that has all come in before the
// read starts is there whole too: the port asks for room for 512 input reports, where the
// class driver keeps 32 unless asked.
TEST(HidPortRead, LongRepliesComeWholeAndTheNextExchangeStartsAtAFrame) {
    const struct {
        std::size_t length;
        bool bReadOnceDelivered;
    } cases[] = {{1100, false}, {5000, true}, {65535, false}};
    const ByteVec shortReply = {0x05, 0x05, 0x16, 0xF8, 0xEE};
    FakeHidServer device(Terminal());
    for (const auto& c : cases) {
        ByteVec longReply = Counting(c.length);
        longReply[0] = 0x05;
        longReply[1] = 0;
        longReply[2] = (std::uint8_t)(c.length & 0xFF);
        longReply[3] = (std::uint8_t)(c.length >> 8);
        device.Expect({{{2, 1, 0x16}, ReplyReports(longReply)}, {{2, 1, 0x16}, ReplyReports(shortReply)}});
    }
    OpenedPort open;
    ASSERT_TRUE(open.opened);
    open.port.SetProtocolType(1);
    std::vector<BYTE> buffer(1025);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        for (std::size_t expected : {c.length, shortReply.size()}) {
            BYTE request = 0x16;
            DWORD n = 1;
            ASSERT_TRUE(open.port.Write(&request, 1, &n));
            if (c.bReadOnceDelivered) {
                ASSERT_TRUE(device.WaitUntilDelivered());
            }
            n = 5;
            const BOOL bOk = open.port.Read(buffer.data(), (DWORD)buffer.size(), &n);
            EXPECT_EQ(expected == shortReply.size(), bOk != FALSE);
            ASSERT_EQ(expected, n);
            if (expected == shortReply.size()) {
                EXPECT_TRUE(std::equal(shortReply.begin(), shortReply.end(), buffer.begin()));
            } else {
                EXPECT_EQ(Counting(buffer.size() - 4, 13), ByteVec(buffer.begin() + 4, buffer.end()));
            }
        }
    }
    EXPECT_EQ("", device.Mismatches());
}

TEST(HidPortRead, SilentDeviceTimesOutAndVanishedDeviceFails) {
    testsupport::TempDir dir("hid-port-log");
    const std::string logFile = dir.file("log.txt");
    {
        testsupport::TempRegistryStore store(dir.file("registry.reg"),
                                             testsupport::debugLogStore("SOFTWARE\\HidPortTest", logFile));
        CDebugFile log("SOFTWARE\\HidPortTest");
        FakeHidServer device(Terminal());
        OpenedPort open(&log);
        ASSERT_TRUE(open.opened);
        open.port.m_ReadWriteTimeout = 200;
        BYTE buffer[64];
        DWORD n = 5;
        EXPECT_FALSE(open.port.Read(buffer, sizeof(buffer), &n));
        EXPECT_EQ(0u, n);

        // Gone in the middle of a reply: the read fails without its time-out's help.
        open.port.m_ReadWriteTimeout = 60000;
        device.Expect({{{2, 1, 0x61}, {InputReport({0x05, 0x20, 0x61, 0x00})}, true}});
        DWORD one = 1;
        BYTE request = 0x61;
        ASSERT_TRUE(open.port.Write(&request, 1, &one));
        n = 5;
        EXPECT_FALSE(open.port.Read(buffer, sizeof(buffer), &n));
        EXPECT_EQ((DWORD)ERROR_DEVICE_NOT_CONNECTED, open.port.GetLastPortError());
        n = 1;
        EXPECT_FALSE(open.port.Write(&request, 1, &n));
        open.port.CloseConnection();
    }
    const std::string text = testsupport::readTextFile(logFile);
    EXPECT_NE(std::string::npos, text.find("CCOMHIDUSBPort::read,  timed out w/ m_ReadWriteTimeout=200"))
        << text;
    EXPECT_NE(std::string::npos, text.find("ClearCommError() error = 1")) << text;  // ERROR_INVALID_FUNCTION
    EXPECT_NE(std::string::npos, text.find("CCOMHIDUSBPort::Write(), GLE on WriteFile()=")) << text;
}

// The receive event is named, so another port or process may set it while this port's
// read waits. The read then fails, and the port waits for the request it cancels before it
// frees the request's buffers: with CancelIo returning at once (IOCLASSLIB_ASYNC_CANCELIO,
// the PortsWithAsyncCancelIo run) AddressSanitizer catches a port that frees them sooner.
TEST(HidPortRead, AReceiveEventSetByAnotherPortFailsTheReadWithoutFreeingTooEarly) {
    FakeHidServer device(Terminal());
    OpenedPort open;
    ASSERT_TRUE(open.opened);
    HANDLE hShared = CreateEventA(NULL, TRUE, FALSE, "opos.ccomhidusbport.recvevent.");
    ASSERT_EQ((DWORD)ERROR_ALREADY_EXISTS, GetLastError());
    // Set again and again: a set before the read has started is undone by its ReadFile.
    std::atomic<bool> bDone(false);
    std::thread other([&] {
        while (!bDone) {
            SetEvent(hShared);
            Sleep(5);
        }
    });
    BYTE buffer[64];
    DWORD n = 5;
    EXPECT_FALSE(open.port.Read(buffer, sizeof(buffer), &n));
    bDone = true;
    other.join();
    EXPECT_EQ(0u, n);
    EXPECT_EQ((DWORD)ERROR_IO_INCOMPLETE, open.port.GetLastPortError());
    CloseHandle(hShared);
}

TEST(HidPortRescan, AsShippedOnlyLogsAndClearsTheRequest) {
    testsupport::TempDir dir("hid-port-rescan");
    const std::string logFile = dir.file("log.txt");
    {
        testsupport::TempRegistryStore store(dir.file("registry.reg"),
                                             testsupport::debugLogStore("SOFTWARE\\HidPortTest", logFile));
        CDebugFile log("SOFTWARE\\HidPortTest");
        CCOMHIDUSBPort port(&log, 4096);
        EXPECT_TRUE(port.RemoveAndScanForHardwareChanges());
        EXPECT_FALSE(port.IsRescanRequested());
        port.SetRescanRequested(TRUE);
        EXPECT_TRUE(port.RemoveAndScanForHardwareChanges());
        EXPECT_FALSE(port.IsRescanRequested());
        EXPECT_TRUE(port.RemoveAndScanForHardwareChanges());
    }
    const std::string text = testsupport::readTextFile(logFile);
    std::vector<std::string> lines;
    for (std::size_t at = 0, end; (end = text.find("\r\n", at)) != std::string::npos; at = end + 2)
        lines.push_back(text.substr(at, end - at));
    ASSERT_EQ(2u, lines.size()) << text;
    EXPECT_NE(std::string::npos,
              lines[0].find("- --> CCOMHIDUSBPort::RemoveAndScanForHardwareChanges(). Start Remove Device"));
    EXPECT_NE(std::string::npos,
              lines[1].find("- <-- CCOMHIDUSBPort::RemoveAndScanForHardwareChanges(). End ReScan Device"));
}

// The comm functions a HID handle refuses reach the ComUsb debug stream with the system's
// own text, as a Windows log shows them.
TEST(ComUsbDebugStream, ARefusedSystemCallIsLoggedWithItsCodeAndText) {
    FakeHidServer device(Terminal());
    ASSERT_TRUE(device.ok());
    CCOMHIDUSBPort port(NULL, 4096);
    COMMTIMEOUTS timeouts = {1000, 0, 5000, 0, 1000};
    ComUsbContext ctx;
    FILE* pLog = tmpfile();
    ASSERT_NE(pLog, nullptr);
    ASSERT_EQ(COMUSB_SUCCESS, port.ComUsbInitializeDebug(&ctx, &timeouts, pLog));
    ASSERT_EQ(COMUSB_SUCCESS, port.ComUsbAddDeviceId(&ctx, 0x1209, 0x0001));
    port.ComUsbConnect(&ctx);
    port.ComUsbUninitialize(&ctx);

    std::string log;
    rewind(pLog);
    char szChunk[256];
    size_t n;
    while ((n = fread(szChunk, 1, sizeof(szChunk), pLog)) > 0)
        log.append(szChunk, n);
    fclose(pLog);
    EXPECT_NE(log.find("ERROR during Setting Comm Timeouts!\n"), std::string::npos) << log;
    EXPECT_NE(log.find("ERROR 0x00000001: Incorrect function.\r\n\n"), std::string::npos) << log;
}
