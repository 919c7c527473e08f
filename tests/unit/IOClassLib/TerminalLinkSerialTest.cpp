// The link with VLI framing over a real serial port on a pseudo-terminal, with short
// time-outs: a terminal that stops answering, a frame cut short, a frame in two parts and
// a query that is never answered. The test holds the master side as the terminal.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "DebugFile.h"
#include "SerialPort.h"
#include "TerminalLink.h"

namespace {

using Bytes = std::vector<unsigned char>;

const DWORD kShortTimeoutMs = 200;

class Terminal {
public:
    Terminal() {
        m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        char name[128];
        if (m_master >= 0 && grantpt(m_master) == 0 && unlockpt(m_master) == 0 &&
            ptsname_r(m_master, name, sizeof(name)) == 0)
            m_device = name;
    }
    ~Terminal() {
        if (m_master >= 0)
            close(m_master);
    }
    const std::string& device() const { return m_device; }

    void Send(const Bytes& bytes) {
        ASSERT_EQ((ssize_t)bytes.size(), write(m_master, bytes.data(), bytes.size()));
    }
    // What the link sent: n bytes, each within a second of the one before.
    Bytes Receive(size_t n) {
        Bytes out;
        while (out.size() < n) {
            pollfd p = {m_master, POLLIN, 0};
            unsigned char buffer[256];
            if (poll(&p, 1, 1000) <= 0)
                break;
            ssize_t k =
                read(m_master, buffer, n - out.size() < sizeof(buffer) ? n - out.size() : sizeof(buffer));
            if (k <= 0)
                break;
            out.insert(out.end(), buffer, buffer + k);
        }
        return out;
    }
    // Nothing more than what was received so far.
    bool Quiet(int ms) {
        pollfd p = {m_master, POLLIN, 0};
        return poll(&p, 1, ms) == 0;
    }

private:
    int m_master = -1;
    std::string m_device;
};

Bytes ToBytes(const CString& cs) {
    const unsigned char* p = (const unsigned char*)(LPCSTR)cs;
    return Bytes(p, p + cs.GetLength());
}

struct SerialLinkTest : ::testing::Test {
    Terminal terminal;
    CDebugFile log{""};
    CTerminalLink* link = nullptr;
    CString data, trace;

    void SetUp() override {
        ASSERT_FALSE(terminal.device().empty());
        link = new CTerminalLink(new CSerialPort(&log, terminal.device().c_str(), 19200, 0, 8, 0), 1);
        ASSERT_TRUE(link->OpenPort());
        link->SetReadWriteTimeout(kShortTimeoutMs);
    }
    void TearDown() override {
        if (link != nullptr)
            link->ClosePort();
        delete link;
    }
    void SendFetch() {
        EXPECT_EQ(4u, link->SendPacket(0x16, nullptr, 0, trace));
        EXPECT_EQ((Bytes{0x05, 0x04, 0x16, 0x17}), terminal.Receive(4));
    }
};

TEST_F(SerialLinkTest, TerminalThatStopsAnsweringGivesNoReply) {
    SendFetch();
    EXPECT_EQ(0u, link->ReceivePacket(data, trace));
    EXPECT_TRUE(data.IsEmpty());
    // The link is still usable once the terminal is back.
    SendFetch();
    terminal.Send({0x05, 0x05, 0x16, 0x00, 0x16});
    EXPECT_EQ(5u, link->ReceivePacket(data, trace));
}

TEST_F(SerialLinkTest, FrameCutShortGivesNoReply) {
    SendFetch();
    terminal.Send({0x05, 0x0C, 0x16, 0x00, 0x01, 0x02, 0x03});  // 12 announced, 7 sent
    EXPECT_EQ(0u, link->ReceivePacket(data, trace));
    EXPECT_TRUE(data.IsEmpty());
}

TEST_F(SerialLinkTest, FrameArrivingInTwoPartsIsAssembled) {
    SendFetch();
    std::thread late([this] {
        terminal.Send({0x05, 0x08, 0x16});
        usleep(50 * 1000);
        terminal.Send({0x00, 0x01, 0x02, 0x03, 0x1B});
    });
    EXPECT_EQ(8u, link->ReceivePacket(data, trace));
    late.join();
    EXPECT_EQ((Bytes{0x05, 0x08, 0x16, 0x00, 0x01, 0x02, 0x03, 0x1B}), ToBytes(data));
}

TEST_F(SerialLinkTest, UnansweredQueryStillDeliversTheReplyThatCausedIt) {
    SendFetch();
    terminal.Send({0x05, 0x05, 0x16, 0xF1, 0xE7});
    EXPECT_EQ(5u, link->ReceivePacket(data, trace));
    EXPECT_EQ((Bytes{0x05, 0x05, 0x16, 0xF1, 0xE7}), ToBytes(data));
    // The query went out inside that receive, and nothing after it.
    EXPECT_EQ((Bytes{0x05, 0x04, 0x81, 0x80}), terminal.Receive(4));
    EXPECT_TRUE(terminal.Quiet(50));
}

TEST(SerialLinkClosed, PortNeverOpenedSendsNothing) {
    Terminal terminal;
    ASSERT_FALSE(terminal.device().empty());
    CDebugFile log("");
    CTerminalLink link(new CSerialPort(&log, terminal.device().c_str(), 19200, 0, 8, 0), 1);
    CString data, trace;
    EXPECT_EQ(0u, link.SendPacket(0x16, nullptr, 0, trace));
    EXPECT_EQ(0u, link.ReceivePacket(data, trace));
    EXPECT_TRUE(terminal.Quiet(50));
}

}  // namespace
