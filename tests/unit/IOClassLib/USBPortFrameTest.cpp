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
    ScriptedUsbPort() : CUSBPort(NULL) {}

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

TEST(USBPortReadFrame, CollectsTheFrameTheHeaderAnnounces) {
    const Bytes f20 = Frame(20), f100 = Frame(100), l100 = Frame(100, true), f300 = Frame(300);
    const std::vector<ReadCase> cases = {
        {"20 bytes in one read", {Data(f20)}, 1024, TRUE, 20, {32}},
        {"100 bytes, short header", {Data(f100)}, 1024, TRUE, 100, {32, 32, 32, 32}},
        {"100 bytes, long header", {Data(l100)}, 1024, TRUE, 100, {32, 32, 32, 32}},
        // After a short read the next asks for as much as that one brought.
        {"packets of 20",
         {Data(Slice(f100, 0, 20)), Data(Slice(f100, 20, 100))},
         1024,
         TRUE,
         100,
         {32, 20, 20, 20, 20}},
        {"the next frame's bytes are dropped", {Data(Concat(f20, Frame(8)))}, 1024, TRUE, 20, {32}},
        {"300 bytes, long header", {Data(f300)}, 1024, TRUE, 300, std::vector<DWORD>(10, 32)},
        // A header cut short reads on, asking for a first read's worth again.
        {"one header byte first",
         {Data(Slice(f20, 0, 1)), Data(Slice(f20, 1, 20))},
         1024,
         TRUE,
         20,
         {32, 32}},
        {"long header cut at 3",
         {Data(Slice(l100, 0, 3)), Data(Slice(l100, 3, 100))},
         1024,
         TRUE,
         100,
         {32, 32, 32, 32, 32}},
        {"nothing comes", {}, 1024, FALSE, 0, {32}},
        {"stall on the first read", {Fail(USBIO_ERR_STALL_PID)}, 1024, FALSE, 0, {32}},
        {"time-out in the middle", {Data(Slice(f100, 0, 64))}, 1024, FALSE, 64, {32, 32, 32}},
        {"an empty read ends it", {Data(Slice(f100, 0, 32)), Data({})}, 1024, FALSE, 32, {32, 32}},
        {"an empty first read", {Data({})}, 1024, FALSE, 0, {32}},
        // A frame longer than the buffer fills it and fails; nothing is stored past it.
        {"frame past the buffer", {Data(f100)}, 40, FALSE, 40, {32, 8}},
        {"buffer smaller than a first read", {Data(f20)}, 10, FALSE, 10, {10}},
        {"no buffer at all", {Data(f20)}, 0, FALSE, 0, {}},
        // A header that announces less than itself is refused, whatever follows it.
        {"short header announcing 1", {Data({0x05, 0x01, 0x61, 0x64})}, 1024, FALSE, 4, {32}},
        {"long header announcing 3", {Data({0x05, 0x00, 0x03, 0x00, 0x61})}, 1024, FALSE, 5, {32}},
    };
    for (const ReadCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedUsbPort port;
        port.reads.assign(c.script.begin(), c.script.end());
        // The buffer is followed by a guard region that must stay untouched.
        Bytes buffer(c.dwBufferSize + 16, 0xCC);
        DWORD dwLength = 5;
        EXPECT_EQ(c.bOk, port.ReadFrame(buffer.data(), c.dwBufferSize, &dwLength));
        EXPECT_EQ(c.dwLength, dwLength);
        EXPECT_EQ(c.asked, Sizes(port.readRequests));
        EXPECT_EQ(Bytes(16, 0xCC), Bytes(buffer.end() - 16, buffer.end()));
        if (c.bOk) {
            const Bytes expected = c.script.front().data.size() >= c.dwLength
                                       ? Slice(c.script.front().data, 0, c.dwLength)
                                       : Slice(Concat(c.script[0].data, c.script[1].data), 0, c.dwLength);
            EXPECT_EQ(expected, Slice(buffer, 0, c.dwLength));
        }
    }
}

TEST(USBPortReadFrame, EveryReadOfAFrameHasTheSameExtendedTimeout) {
    ScriptedUsbPort port;
    port.reads.push_back(Data(Frame(100)));
    BYTE buffer[1024];
    DWORD dwLength = 0;
    ASSERT_TRUE(port.ReadFrame(buffer, sizeof(buffer), &dwLength));
    EXPECT_EQ(std::vector<DWORD>(4, T + E), Timeouts(port.readRequests));
    EXPECT_EQ(T + E, port.m_CurrentReadTimeout);
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
