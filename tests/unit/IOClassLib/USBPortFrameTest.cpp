// CUSBPort's frame collection and write attempts, with the driver's side of both pipes
// scripted: what each read returns, how each write ends, and what the port asked for.
#include <USBPort.h>

#include <gtest/gtest.h>

#include <deque>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<BYTE>;

struct PipeStep {
    DWORD dwStatus;  // 0, or the status the transfer ends with
    Bytes data;      // read: bytes queued at the endpoint; write: unused
    DWORD dwMoved;   // write: bytes the device takes (also on failure)
};

PipeStep Data(const Bytes& data) { return PipeStep{0, data, 0}; }
PipeStep Fail(DWORD dwStatus, DWORD dwMoved = 0) { return PipeStep{dwStatus, {}, dwMoved}; }
PipeStep Took(DWORD dwMoved) { return PipeStep{0, {}, dwMoved}; }

struct Request {
    DWORD dwSize;
    DWORD dwTimeout;
};

// A frame with the short header when asked and it fits in one length byte, else the long one.
Bytes Frame(size_t nLength, bool bLong = false) {
    Bytes frame(nLength);
    for (size_t i = 0; i < nLength; ++i)
        frame[i] = (BYTE)(0x40 + i);
    frame[0] = 0x05;
    if (!bLong && nLength < 256) {
        frame[1] = (BYTE)nLength;
    } else {
        frame[1] = 0;
        frame[2] = (BYTE)(nLength & 0xFF);
        frame[3] = (BYTE)(nLength >> 8);
    }
    return frame;
}

class ScriptedUsbPort : public CUSBPort {
public:
    explicit ScriptedUsbPort(WORD wInPacketSize = 32) : CUSBPort(NULL) {
        m_ConfigInfo.NbOfPipes = 1;
        m_ConfigInfo.PipeInfo[0].EndpointAddress = USBPORT_BULK_IN_ENDPOINT;
        m_ConfigInfo.PipeInfo[0].MaximumPacketSize = wInPacketSize;
    }

    std::deque<PipeStep> reads;
    std::deque<PipeStep> writes;
    std::vector<Request> readRequests;
    std::vector<Request> writeRequests;
    Bytes written;

    using CUSBPort::ReadFrame;

protected:
    // A read takes at most what was asked from the front of the queue; the rest stays for
    // the next read, as at a bulk endpoint. An empty queue times out.
    DWORD ReadPipe(BYTE* pBuffer, DWORD* pdwSize, DWORD dwTimeout) override {
        readRequests.push_back({*pdwSize, dwTimeout});
        if (reads.empty())
            return Finish(pdwSize, 0, USBIO_ERR_TIMEOUT);
        PipeStep& step = reads.front();
        if (step.dwStatus != 0) {
            const DWORD dwStatus = step.dwStatus;
            reads.pop_front();
            return Finish(pdwSize, 0, dwStatus);
        }
        DWORD n = (DWORD)step.data.size() < *pdwSize ? (DWORD)step.data.size() : *pdwSize;
        std::copy(step.data.begin(), step.data.begin() + n, pBuffer);
        step.data.erase(step.data.begin(), step.data.begin() + n);
        if (step.data.empty())
            reads.pop_front();
        return Finish(pdwSize, n, 0);
    }
    DWORD WritePipe(const BYTE* pBuffer, DWORD* pdwSize, DWORD dwTimeout) override {
        writeRequests.push_back({*pdwSize, dwTimeout});
        if (writes.empty()) {
            written.insert(written.end(), pBuffer, pBuffer + *pdwSize);
            return 0;
        }
        const PipeStep step = writes.front();
        writes.pop_front();
        const DWORD n = step.dwMoved < *pdwSize ? step.dwMoved : *pdwSize;
        written.insert(written.end(), pBuffer, pBuffer + n);
        return Finish(pdwSize, n, step.dwStatus);
    }

private:
    static DWORD Finish(DWORD* pdwSize, DWORD n, DWORD dwStatus) {
        *pdwSize = n;
        if (dwStatus != 0)
            SetLastError(dwStatus);
        return dwStatus;
    }
};

const DWORD T = 10000;
const DWORD E = 3000;

std::vector<DWORD> Sizes(const std::vector<Request>& requests) {
    std::vector<DWORD> sizes;
    for (const Request& r : requests)
        sizes.push_back(r.dwSize);
    return sizes;
}

std::vector<DWORD> Timeouts(const std::vector<Request>& requests) {
    std::vector<DWORD> timeouts;
    for (const Request& r : requests)
        timeouts.push_back(r.dwTimeout);
    return timeouts;
}

struct ReadCase {
    const char* name;
    WORD wPacket;
    std::vector<PipeStep> script;
    DWORD dwBufferSize;
    BOOL bOk;
    DWORD dwLength;
    std::vector<DWORD> asked;
};

Bytes Concat(const Bytes& a, const Bytes& b) {
    Bytes r = a;
    r.insert(r.end(), b.begin(), b.end());
    return r;
}

Bytes Slice(const Bytes& a, size_t from, size_t to) { return Bytes(a.begin() + from, a.begin() + to); }

// Every read asks for whole packets: one until the header is in, then what the frame still
// lacks, rounded up, at most the port's 4096-byte buffer.
TEST(USBPortReadFrame, CollectsTheFrameTheHeaderAnnouncesInWholePackets) {
    const Bytes f20 = Frame(20), f100 = Frame(100), l100 = Frame(100, true), f300 = Frame(300);
    const Bytes f600 = Frame(600), f5000 = Frame(5000);
    const std::vector<ReadCase> cases = {
        {"20 bytes in one read", 32, {Data(f20)}, 1024, TRUE, 20, {32}},
        {"100 bytes, short header", 32, {Data(f100)}, 1024, TRUE, 100, {32, 96}},
        {"100 bytes, long header", 32, {Data(l100)}, 1024, TRUE, 100, {32, 96}},
        {"100 bytes in packets of 8", 8, {Data(f100)}, 1024, TRUE, 100, {8, 96}},
        {"600 bytes in packets of 512", 512, {Data(f600)}, 1024, TRUE, 600, {512, 512}},
        {"a short first transfer",
         32,
         {Data(Slice(f100, 0, 20)), Data(Slice(f100, 20, 100))},
         1024,
         TRUE,
         100,
         {32, 96}},
        {"the next frame's bytes are dropped", 32, {Data(Concat(f20, Frame(8)))}, 1024, TRUE, 20, {32}},
        {"300 bytes, long header", 32, {Data(f300)}, 1024, TRUE, 300, {32, 288}},
        // A header cut short reads on, one packet at a time.
        {"one header byte first",
         32,
         {Data(Slice(f20, 0, 1)), Data(Slice(f20, 1, 20))},
         1024,
         TRUE,
         20,
         {32, 32}},
        {"long header cut at 3",
         32,
         {Data(Slice(l100, 0, 3)), Data(Slice(l100, 3, 100))},
         1024,
         TRUE,
         100,
         {32, 32, 96}},
        {"nothing comes", 32, {}, 1024, FALSE, 0, {32}},
        {"stall on the first read", 32, {Fail(USBIO_ERR_STALL_PID)}, 1024, FALSE, 0, {32}},
        {"time-out in the middle", 32, {Data(Slice(f100, 0, 64))}, 1024, FALSE, 64, {32, 96, 64}},
        // The zero-length packet that ended the last reply, and one in the middle of a frame.
        {"an empty transfer first", 32, {Data({}), Data(f20)}, 1024, TRUE, 20, {32, 32}},
        {"an empty transfer in the middle",
         32,
         {Data(Slice(f100, 0, 32)), Data({}), Data(Slice(f100, 32, 100))},
         1024,
         TRUE,
         100,
         {32, 96, 96}},
        {"two empty transfers end it",
         32,
         {Data(Slice(f100, 0, 32)), Data({}), Data({})},
         1024,
         FALSE,
         32,
         {32, 96, 96}},
        // A frame longer than the buffer is read to its end and fails; nothing is stored
        // past the buffer.
        {"frame past the buffer", 32, {Data(f100)}, 40, FALSE, 40, {32, 96}},
        {"buffer smaller than a packet", 32, {Data(f20)}, 10, FALSE, 10, {32}},
        {"no buffer at all", 32, {Data(f20)}, 0, FALSE, 0, {32}},
        {"5000 bytes into 1024", 64, {Data(f5000)}, 1024, FALSE, 1024, {64, 4096, 896}},
        // A header that announces less than itself is refused, whatever follows it.
        {"short header announcing 1", 32, {Data({0x05, 0x01, 0x61, 0x64})}, 1024, FALSE, 4, {32}},
        {"long header announcing 3", 32, {Data({0x05, 0x00, 0x03, 0x00, 0x61})}, 1024, FALSE, 5, {32}},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedUsbPort port(c.wPacket);
        port.reads.assign(c.script.begin(), c.script.end());
        // The buffer is followed by a guard region that must stay untouched.
        Bytes buffer(c.dwBufferSize + 16, 0xCC);
        DWORD dwLength = 5;
        EXPECT_EQ(c.bOk, port.ReadFrame(buffer.data(), c.dwBufferSize, &dwLength));
        EXPECT_EQ(c.dwLength, dwLength);
        EXPECT_EQ(c.asked, Sizes(port.readRequests));
        EXPECT_EQ(Bytes(16, 0xCC), Bytes(buffer.end() - 16, buffer.end()));
        Bytes sent;
        for (const PipeStep& step : c.script)
            sent = Concat(sent, step.data);
        EXPECT_EQ(Slice(sent, 0, dwLength), Slice(buffer, 0, dwLength));
    }
}

// Every read of a frame, and a write's second attempt, wait T + E; a sum past 32 bits is
// INFINITE, not a wrapped one.
TEST(USBPortReadFrame, EveryReadOfAFrameAndAWritesRetryWaitTheExtendedTimeoutAtMostInfinite) {
    const struct {
        DWORD dwTimeout;
        DWORD dwExtension;
        DWORD dwExtended;
    } cases[] = {
        {T, E, T + E}, {INFINITE, E, INFINITE}, {0xFFFFF000, 0x1000, INFINITE}, {INFINITE, 0, INFINITE}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dwTimeout);
        ScriptedUsbPort port;
        port.m_ReadWriteTimeout = c.dwTimeout;
        port.m_ReadTimeoutExtension = c.dwExtension;
        port.reads.push_back(Data(Frame(100)));
        BYTE buffer[1024];
        DWORD dwLength = 0;
        ASSERT_TRUE(port.ReadFrame(buffer, sizeof(buffer), &dwLength));
        EXPECT_EQ(std::vector<DWORD>(2, c.dwExtended), Timeouts(port.readRequests));
        EXPECT_EQ(c.dwExtended, port.m_CurrentReadTimeout);
        port.writes = {Fail(USBIO_ERR_TIMEOUT), Took(20)};
        const Bytes message = Frame(20);
        dwLength = (DWORD)message.size();
        ASSERT_TRUE(port.Write(message.data(), dwLength, &dwLength));
        EXPECT_EQ((std::vector<DWORD>{c.dwTimeout, c.dwExtended}), Timeouts(port.writeRequests));
    }
}

TEST(USBPortRead, FailureKeepsTheStatusAndRetrySwitchesReadAgainFromTheStart) {
    ScriptedUsbPort port;
    BYTE buffer[64];
    DWORD dwLength = 64;
    EXPECT_FALSE(port.Read(buffer, sizeof(buffer), &dwLength));
    EXPECT_EQ(0u, dwLength);
    EXPECT_EQ(USBIO_ERR_TIMEOUT, port.m_dwLastError);
    EXPECT_EQ(1u, port.readRequests.size());

    // The first try times out after half a frame; the second starts over at the buffer's start.
    const Bytes f20 = Frame(20);
    port.readRequests.clear();
    port.reads = {Data(Slice(Frame(40), 0, 32)), Fail(USBIO_ERR_TIMEOUT), Data(f20)};
    port.m_bFirstRetry = TRUE;
    dwLength = 64;
    EXPECT_TRUE(port.Read(buffer, sizeof(buffer), &dwLength));
    EXPECT_EQ(20u, dwLength);
    EXPECT_EQ(f20, Bytes(buffer, buffer + 20));
}

struct WriteCase {
    const char* name;
    DWORD nRetryCount;
    BOOL bFirstRetry;
    std::vector<PipeStep> script;
    BOOL bOk;
    DWORD dwSent;
    std::vector<DWORD> timeouts;
    std::vector<DWORD> asked;
};

TEST(USBPortWrite, AttemptsWithExtendedTimeouts) {
    const std::vector<WriteCase> cases = {
        {"first attempt goes", 1, FALSE, {Took(33)}, TRUE, 33, {T}, {33}},
        {"time-out, then success",
         1,
         FALSE,
         {Fail(USBIO_ERR_TIMEOUT), Took(33)},
         TRUE,
         33,
         {T, T + E},
         {33, 33}},
        {"no further attempt", 0, FALSE, {Fail(USBIO_ERR_TIMEOUT), Took(33)}, FALSE, 0, {T}, {33}},
        {"both attempts time out",
         1,
         FALSE,
         {Fail(USBIO_ERR_TIMEOUT), Fail(USBIO_ERR_TIMEOUT)},
         FALSE,
         0,
         {T, T + E},
         {33, 33}},
        // Bytes a timed-out attempt moved are not sent a second time.
        {"part moved before the time-out",
         1,
         FALSE,
         {Fail(USBIO_ERR_TIMEOUT, 32), Took(1)},
         TRUE,
         33,
         {T, T + E},
         {33, 1}},
        {"a short success is completed", 2, FALSE, {Took(20), Took(13)}, TRUE, 33, {T, T + E}, {33, 13}},
        {"retry switch writes the whole message again",
         1,
         TRUE,
         {Fail(USBIO_ERR_TIMEOUT), Fail(USBIO_ERR_TIMEOUT), Fail(USBIO_ERR_TIMEOUT), Took(33)},
         TRUE,
         33,
         {T, T + E, T, T + E},
         {33, 33, 33, 33}},
    };
    const Bytes message = Frame(33);
    for (const WriteCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedUsbPort port;
        port.m_nRetryCount = c.nRetryCount;
        port.m_bFirstRetry = c.bFirstRetry;
        port.writes.assign(c.script.begin(), c.script.end());
        DWORD dwLength = (DWORD)message.size();
        EXPECT_EQ(c.bOk, port.Write(message.data(), dwLength, &dwLength));
        EXPECT_EQ(c.dwSent, dwLength);
        EXPECT_EQ(c.timeouts, Timeouts(port.writeRequests));
        EXPECT_EQ(c.asked, Sizes(port.writeRequests));
        if (c.bOk)
            EXPECT_EQ(message, Bytes(port.written.end() - 33, port.written.end()));
        else
            EXPECT_EQ(USBIO_ERR_TIMEOUT, port.m_dwLastError);
    }
}

}  // namespace
