// The TCP/IP port against a loopback peer: construction, open and close, reads with
// their time-out rule, writes, and what each leaves in the debug log.
#include <TCPIPPort.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <chrono>
#include <sstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "TcpTestPeer.h"
#include "TempRegistryStore.h"

namespace fs = std::filesystem;

namespace {

const char kLogKey[] = "SOFTWARE\\KeyProbeTcpPortTests";

std::string Text(const CString& cs) { return std::string((LPCTSTR)cs, cs.GetLength()); }

// A debug log switched on through a temporary registry store. The port logs with an
// empty device name, so the key is the base key itself.
class TCPIPPortTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(m_tmp.path().empty());
        ASSERT_TRUE(m_store.ok());
        m_pLog = new CDebugFile(kLogKey);
    }
    void TearDown() override {
        // The port logs until it is gone.
        port.reset();
        peer.reset();
        delete m_pLog;
    }

    // A port opened on a loopback peer that has accepted it. Call it in
    // ASSERT_NO_FATAL_FAILURE.
    void OpenOnPeer() {
        peer.reset(new tcp_test::LoopbackPeer);
        port.reset(new TCPIPPort(m_pLog, "127.0.0.1", peer->Port()));
        ASSERT_TRUE(port->OpenPort());
        ASSERT_TRUE(peer->Accept());
    }

    // The texts logged since the last call, one per line.
    std::vector<std::string> TakeLog() {
        m_pLog->CloseFile();
        std::vector<std::string> texts;
        std::ifstream in(m_dir / "io.txt", std::ios::binary);
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            const size_t pos = line.find("] - ");
            texts.push_back(pos == std::string::npos ? line : line.substr(pos + 4));
        }
        in.close();
        fs::remove(m_dir / "io.txt");
        return texts;
    }

    testsupport::TempDir m_tmp{"keyprobe-tcpport"};
    const fs::path m_dir{m_tmp.path()};
    testsupport::TempRegistryStore m_store{m_tmp.file("registry.reg"),
                                           testsupport::debugLogStore(kLogKey, m_tmp.file("io.txt"))};
    CDebugFile* m_pLog = nullptr;
    std::unique_ptr<tcp_test::LoopbackPeer> peer;
    std::unique_ptr<TCPIPPort> port;
};

typedef std::vector<std::string> Lines;

// Winsock has no start-up left in this process.
bool WinsockReleased() {
    return socket(AF_INET, SOCK_STREAM, 0) == INVALID_SOCKET && WSAGetLastError() == WSANOTINITIALISED;
}

}  // namespace

TEST_F(TCPIPPortTest, ConstructedWithTheTcpDefaults) {
    TCPIPPort port(m_pLog, "127.0.0.1", 8009);
    EXPECT_EQ(10000u, port.m_ReadWriteTimeout);
    EXPECT_EQ(50, port.m_wInputPacketSize);
    EXPECT_EQ(512, port.m_wOutputPacketSize);
    EXPECT_EQ(1u, port.m_nRetryCount);
    EXPECT_EQ(500u, port.m_ReadTimeoutModifier);
    EXPECT_FALSE(port.IsDataAvailableSupported());
    EXPECT_FALSE(port.IsDataAvailable());
    EXPECT_FALSE(port.IsOpen());
    EXPECT_EQ(6144u, port.GetMaxBufferSize());
    EXPECT_EQ("", Text(port.m_ThreadWatcher.GetLogDeviceName()));
    EXPECT_EQ("127.0.0.1", Text(port.m_Socket.GetHost()));
    EXPECT_EQ("", Text(port.m_Socket.GetLastErrorText()));  // started and resolved
    EXPECT_TRUE(port.m_Socket.CheckVersion());
}

TEST_F(TCPIPPortTest, EmptyAddressNeverStartsWinsockAndNeverOpens) {
    testing::internal::CaptureStderr();
    {
        TCPIPPort port(m_pLog, "", 8009);
        EXPECT_EQ("Error. Host Address not set", Text(port.m_Socket.GetLastErrorText()));
        EXPECT_FALSE(port.OpenPort());
        EXPECT_FALSE(port.OpenPort());
        EXPECT_FALSE(port.IsOpen());
        EXPECT_EQ("Error. socket(AF_INET, SOCK_STREAM, IPPROTO_IP) 10093",
                  Text(port.m_Socket.GetLastErrorText()));
    }
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(0u, err.find("\nError. Host Address not set\n\nError. socket(AF_INET, SOCK_STREAM, "
                           "IPPROTO_IP) 10093\n"));
    EXPECT_TRUE(TakeLog().empty()) << "OpenPort logs nothing";
}

TEST_F(TCPIPPortTest, PortZeroIsNotSet) {
    testing::internal::CaptureStderr();
    TCPIPPort port(m_pLog, "127.0.0.1", 0);
    EXPECT_EQ("\nError. Host Port not set\n", testing::internal::GetCapturedStderr());
    EXPECT_FALSE(port.OpenPort());
}

TEST_F(TCPIPPortTest, OnlyTheLowSixteenBitsOfThePortCount) {
    // 73545 is 0x11F49: port 8009, here on a loopback address of its own.
    tcp_test::LoopbackPeer peer("127.45.0.9", 8009);
    ASSERT_TRUE(peer.IsListening()) << "127.45.0.9:8009 is taken";
    TCPIPPort port(m_pLog, "127.45.0.9", 73545);
    EXPECT_EQ(8009, port.m_Socket.GetHostPort());
    EXPECT_TRUE(port.OpenPort()) << Text(port.m_Socket.GetLastErrorText());
    EXPECT_TRUE(peer.Accept());
}

TEST_F(TCPIPPortTest, ReadAndWriteRefuseBeforeOpen) {
    TCPIPPort port(m_pLog, "127.0.0.1", 8009);
    BYTE buf[8] = {1, 2, 3};
    DWORD dwLength = 3;
    EXPECT_FALSE(port.Write(buf, 3, &dwLength));
    EXPECT_EQ(3u, dwLength);
    dwLength = 5;
    EXPECT_FALSE(port.Read(buf, sizeof(buf), &dwLength));
    EXPECT_EQ(5u, dwLength);
    EXPECT_EQ((Lines{"+TCPIPPort::Write()", "+TCPIPPort::Read()"}), TakeLog());
}

TEST_F(TCPIPPortTest, OpenTwiceConnectsOnceAndReopenConnectsAgain) {
    ASSERT_NO_FATAL_FAILURE(OpenOnPeer());
    EXPECT_TRUE(port->OpenPort());
    EXPECT_FALSE(peer->Accept(200)) << "a second connection was made";

    EXPECT_TRUE(port->ClosePort());
    EXPECT_FALSE(port->IsOpen());
    EXPECT_TRUE(peer->ClientClosed());
    EXPECT_TRUE(port->ClosePort());

    ASSERT_TRUE(port->OpenPort());
    EXPECT_TRUE(peer->Accept());
    BYTE frame[] = {0x05, 0x04, 0x16, 0x17};
    DWORD dwLength = 4;
    EXPECT_TRUE(port->Write(frame, 4, &dwLength));
    EXPECT_EQ(std::string("\x05\x04\x16\x17"), peer->Receive(4));
}

TEST_F(TCPIPPortTest, RefusedOpenFailsQuietlyAndMayBeRetried) {
    tcp_test::LoopbackPeer first;
    const unsigned short portNumber = first.Port();
    first.CloseListener();
    testing::internal::CaptureStderr();
    TCPIPPort port(m_pLog, "127.0.0.1", portNumber);
    EXPECT_FALSE(port.OpenPort());
    EXPECT_EQ("\nError. connect() failed  10061\n", testing::internal::GetCapturedStderr());
    EXPECT_FALSE(port.IsOpen());
    EXPECT_TRUE(TakeLog().empty());

    tcp_test::LoopbackPeer second("127.0.0.1", portNumber);
    ASSERT_TRUE(second.IsListening());
    EXPECT_TRUE(port.OpenPort());
    EXPECT_TRUE(second.Accept());
}

TEST_F(TCPIPPortTest, ShortReadTimesOutAndGetsWaitingBytes) {
    ASSERT_NO_FATAL_FAILURE(OpenOnPeer());

    BYTE buf[16];
    DWORD dwLength = 4;
    EXPECT_FALSE(port->Read(buf, sizeof(buf), &dwLength));
    EXPECT_EQ(0u, dwLength);
    EXPECT_EQ(0u, port->m_dwLastError);
    EXPECT_EQ(900u, port->m_CurrentReadTimeout);
    EXPECT_EQ((Lines{"+TCPIPPort::Read()", "-TCPIPPort::Read(). Socket timeout"}), TakeLog());

    ASSERT_TRUE(peer->Send(std::string("\x05\x05\x16\x00\x16", 5)));
    dwLength = 50;  // 5500 ms: waits for the bytes in flight
    EXPECT_TRUE(port->Read(buf, sizeof(buf), &dwLength));
    EXPECT_EQ(5500u, port->m_CurrentReadTimeout);
    ASSERT_EQ(5u, dwLength) << "one receive returns what has arrived";
    EXPECT_EQ(0, memcmp(buf, "\x05\x05\x16\x00\x16", 5));
    EXPECT_EQ((Lines{"+TCPIPPort::Read()", "-TCPIPPort::Read()"}), TakeLog());
}

TEST_F(TCPIPPortTest, ReadWaitsNoLongerThanTheFramingsDeadline) {
    ASSERT_NO_FATAL_FAILURE(OpenOnPeer());
    std::thread later([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        peer->Send("x");
    });
    // 5,500 ms of its own, but the reply it belongs to has already run out of time.
    port->SetReadDeadline(GetTickCount());
    BYTE buf[64];
    DWORD dwLength = 50;
    EXPECT_FALSE(port->Read(buf, sizeof(buf), &dwLength));
    EXPECT_EQ(0u, dwLength);
    port->ClearReadDeadline();
    later.join();
}

TEST_F(TCPIPPortTest, OneReadDeliversAtMostTheStagingBuffer) {
    ASSERT_NO_FATAL_FAILURE(OpenOnPeer());
    std::string sent;
    for (int i = 0; i < 10000; ++i)
        sent += (char)(i * 7);
    ASSERT_TRUE(peer->Send(sent));

    std::vector<BYTE> buf(10000);
    std::string got;
    while (got.size() < sent.size()) {
        DWORD dwLength = 10000;
        ASSERT_TRUE(port->Read(buf.data(), (DWORD)buf.size(), &dwLength));
        ASSERT_GT(dwLength, 0u);
        ASSERT_LE(dwLength, 6144u);
        got.append((const char*)buf.data(), dwLength);
    }
    EXPECT_EQ(sent, got);
}

TEST_F(TCPIPPortTest, ReadNeverStoresMoreThanTheBufferHolds) {
    ASSERT_NO_FATAL_FAILURE(OpenOnPeer());
    ASSERT_TRUE(peer->Send("0123456789"));
    BYTE buf[5] = {0};
    DWORD dwLength = 10;  // more than the buffer: a caller's mistake, not an overflow
    ASSERT_TRUE(port->Read(buf, 4, &dwLength));
    EXPECT_EQ(4u, dwLength);
    EXPECT_EQ(0, buf[4]);
}

TEST_F(TCPIPPortTest, FlushDropsBytesTheTerminalAlreadySent) {
    ASSERT_NO_FATAL_FAILURE(OpenOnPeer());
    // A reply that came after its exchange gave up must not answer the next command.
    ASSERT_TRUE(peer->Send("\x05\x04\x51\x50"));
    ASSERT_EQ(1, port->m_Socket.WaitForData(5000));
    port->FlushReceiveBuffer();
    ASSERT_TRUE(peer->Send("\x05\x04\x16\x17"));
    BYTE buf[8];
    DWORD dwLength = 40;
    ASSERT_TRUE(port->Read(buf, sizeof(buf), &dwLength));
    EXPECT_EQ(4u, dwLength);
    EXPECT_EQ(0, memcmp(buf, "\x05\x04\x16\x17", 4));
}

TEST_F(TCPIPPortTest, ClosedConnectionReadsAsZeroBytesAndWritesFail) {
    ASSERT_NO_FATAL_FAILURE(OpenOnPeer());
    peer->CloseConnection();
    peer->CloseListener();

    BYTE buf[8];
    DWORD dwLength = 5;
    EXPECT_TRUE(port->Read(buf, sizeof(buf), &dwLength));
    EXPECT_EQ(0u, dwLength);
    EXPECT_TRUE(port->IsOpen()) << "a lost connection does not close the port";
    TakeLog();

    // The first send may still leave; the peer's reset fails a later one.
    testing::internal::CaptureStderr();
    BYTE frame[] = {0x05, 0x04, 0x16, 0x17};
    BOOL bWritten = TRUE;
    for (int i = 0; i < 50 && bWritten; ++i) {
        dwLength = 4;
        bWritten = port->Write(frame, 4, &dwLength);
        if (bWritten) {
            DWORD dwRead = 1;
            port->Read(buf, sizeof(buf), &dwRead);
        }
    }
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_FALSE(bWritten);
    EXPECT_EQ(0u, dwLength);
    EXPECT_EQ((DWORD)WSAECONNRESET, port->m_dwLastError);
    EXPECT_NE(std::string::npos, err.find("\nError. sendto() 10054\n"));
    const Lines log = TakeLog();
    ASSERT_FALSE(log.empty());
    EXPECT_EQ("-TCPIPPort::Write(). Error. sendto() 10054", log.back());
}

TEST_F(TCPIPPortTest, WriteOfNothingSendsNothing) {
    ASSERT_NO_FATAL_FAILURE(OpenOnPeer());
    BYTE frame[] = {0x05};
    DWORD dwLength = 7;
    EXPECT_FALSE(port->Write(frame, 0, &dwLength));
    EXPECT_EQ(7u, dwLength);
    EXPECT_FALSE(port->Write(NULL, 1, &dwLength));
    EXPECT_EQ((Lines{"+TCPIPPort::Write()", "+TCPIPPort::Write()"}), TakeLog());
    dwLength = 1;
    ASSERT_TRUE(port->Write(frame, 1, &dwLength));
    EXPECT_EQ(std::string("\x05", 1), peer->Receive(2, 300)) << "only the real write arrived";
}

TEST_F(TCPIPPortTest, CloseWhileAReadWaitsEndsTheRead) {
    ASSERT_NO_FATAL_FAILURE(OpenOnPeer());
    BOOL bRead = TRUE;
    DWORD dwLength = 600;  // 60.5 s
    BYTE buf[700];
    std::thread reader([&] { bRead = port->Read(buf, sizeof(buf), &dwLength); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(port->ClosePort());
    reader.join();
    // Woken by the close rather than by the end of its minute: either the receive found the
    // socket gone, or it read the end of the connection.
    EXPECT_TRUE(!bRead || dwLength == 0);
    EXPECT_FALSE(port->IsOpen());
}

TEST_F(TCPIPPortTest, DestructionReleasesWinsock) {
    {
        TCPIPPort port(m_pLog, "127.0.0.1", 8009);
        EXPECT_FALSE(WinsockReleased());
    }
    EXPECT_TRUE(WinsockReleased());
}
