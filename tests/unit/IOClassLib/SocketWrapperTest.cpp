// The socket wrapper against a loopback peer: start-up, connect, waits, transfers, the
// error texts, and the choice of the local address to bind to.
#include <SocketWrapper.h>
#include <SockAddr.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "TcpTestPeer.h"

namespace {

using std::chrono::milliseconds;

std::string Text(const CString& cs) { return std::string((LPCTSTR)cs, cs.GetLength()); }

// A wrapper set up as the TCP/IP port sets its own up, and always cleaned up so that
// no test leaves Winsock started behind.
struct Wrapper {
    explicit Wrapper(const char* pszHost = "127.0.0.1", WORD wPort = 0) {
        socket.SetHost(pszHost);
        socket.SetHostPort(wPort);
    }
    ~Wrapper() { socket.Cleanup(); }

    // Starts, connects and has the peer accept the connection.
    ::testing::AssertionResult ConnectTo(tcp_test::LoopbackPeer& peer) {
        if (!socket.Init())
            return ::testing::AssertionFailure() << "Init failed";
        if (!socket.Connect())
            return ::testing::AssertionFailure() << "Connect failed: " << Text(socket.GetLastErrorText());
        if (!peer.Accept())
            return ::testing::AssertionFailure() << "the peer accepted nothing";
        return ::testing::AssertionSuccess();
    }

    CSocketWrapper socket;
};

std::string Dotted(DWORD dwAddress) {
    return std::to_string(dwAddress >> 24) + "." + std::to_string((dwAddress >> 16) & 0xFF) + "." +
           std::to_string((dwAddress >> 8) & 0xFF) + "." + std::to_string(dwAddress & 0xFF);
}

// Winsock has no start-up left in this process.
bool WinsockReleased() {
    return socket(AF_INET, SOCK_STREAM, 0) == INVALID_SOCKET && WSAGetLastError() == WSANOTINITIALISED;
}

// Sends bytes from the peer after a pause, while the test thread waits.
class DelayedSend {
public:
    DelayedSend(tcp_test::LoopbackPeer& peer, int nDelayMs, std::string bytes)
        : m_thread([&peer, nDelayMs, bytes] {
              std::this_thread::sleep_for(milliseconds(nDelayMs));
              peer.Send(bytes);
          }) {}
    ~DelayedSend() { m_thread.join(); }

private:
    std::thread m_thread;
};

}  // namespace

TEST(SocketWrapperInit, EmptyHostFailsBeforeWinsockStarts) {
    Wrapper w("", 8009);
    w.socket.SetVerbose(TRUE);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(w.socket.Init());
    EXPECT_EQ("\nError. Host Address not set\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ("Error. Host Address not set", Text(w.socket.GetLastErrorText()));
    EXPECT_FALSE(w.socket.CheckVersion());
    EXPECT_EQ("Error. WSAStartup need to be performed first", Text(w.socket.GetLastErrorText()));

    // Connect does not start Winsock: the socket call itself reports it.
    EXPECT_FALSE(w.socket.Connect());
    EXPECT_EQ("Error. socket(AF_INET, SOCK_STREAM, IPPROTO_IP) 10093", Text(w.socket.GetLastErrorText()));
}

TEST(SocketWrapperInit, PortZeroFailsBeforeWinsockStarts) {
    Wrapper w("127.0.0.1", 0);
    testing::internal::CaptureStderr();
    EXPECT_FALSE(w.socket.Init());
    EXPECT_EQ("", testing::internal::GetCapturedStderr());  // not verbose
    EXPECT_EQ("Error. Host Port not set", Text(w.socket.GetLastErrorText()));
    EXPECT_FALSE(w.socket.CheckVersion());
}

TEST(SocketWrapperInit, UnresolvableHostLeavesWinsockStarted) {
    Wrapper w("keyprobe-no-such-terminal.invalid", 8009);
    EXPECT_FALSE(w.socket.Init());
    EXPECT_EQ("Error. Host not found: keyprobe-no-such-terminal.invalid", Text(w.socket.GetLastErrorText()));
    EXPECT_TRUE(w.socket.CheckVersion());
    w.socket.Cleanup();
    EXPECT_TRUE(WinsockReleased());
}

TEST(SocketWrapperInit, StartupTwiceStartsWinsockOnce) {
    Wrapper w;
    ASSERT_TRUE(w.socket.Startup());
    ASSERT_TRUE(w.socket.Startup());
    EXPECT_TRUE(w.socket.CheckVersion());
    // One release is enough: a second WSAStartup would have kept Winsock started.
    w.socket.Cleanup();
    EXPECT_TRUE(WinsockReleased());
}

TEST(SocketWrapperConnect, ConnectsSendsReceivesAndSeesThePeerClose) {
    tcp_test::LoopbackPeer peer;
    ASSERT_TRUE(peer.IsListening());
    Wrapper w("127.0.0.1", peer.Port());
    ASSERT_TRUE(w.ConnectTo(peer));
    EXPECT_TRUE(w.socket.IsValid());
    EXPECT_EQ("socket(AF_INET, SOCK_STREAM, IPPROTO_IP)", Text(w.socket.GetSocketDesc()));

    EXPECT_EQ(4, w.socket.Send("\x05\x04\x16\x17", 4));
    EXPECT_EQ(std::string("\x05\x04\x16\x17"), peer.Receive(4));

    ASSERT_TRUE(peer.Send("abc"));
    EXPECT_EQ(1, w.socket.WaitForData(5000));
    char buf[8];
    EXPECT_EQ(3, w.socket.Receive(buf, sizeof(buf)));

    peer.CloseConnection();
    EXPECT_EQ(1, w.socket.WaitForData(5000));
    EXPECT_EQ(0, w.socket.Receive(buf, sizeof(buf)));
    EXPECT_TRUE(w.socket.IsValid());

    w.socket.Shutdown();
    EXPECT_FALSE(w.socket.IsValid());
    EXPECT_EQ(INVALID_SOCKET, w.socket.GetSocket());
    EXPECT_EQ("", Text(w.socket.GetSocketDesc()));
    EXPECT_EQ(-1, w.socket.WaitForData(0));
    EXPECT_EQ(-1, w.socket.Send("x", 1));
    EXPECT_EQ(-1, w.socket.Receive(buf, 1));
}

TEST(SocketWrapperConnect, RefusedConnectLeavesNoSocketAndCanBeRetried) {
    tcp_test::LoopbackPeer first;
    const unsigned short port = first.Port();
    first.CloseListener();

    Wrapper w("127.0.0.1", port);
    w.socket.SetVerbose(TRUE);
    ASSERT_TRUE(w.socket.Init());
    testing::internal::CaptureStderr();
    EXPECT_FALSE(w.socket.Connect());
    EXPECT_EQ("\nError. connect() failed  10061\n", testing::internal::GetCapturedStderr());
    EXPECT_EQ("Error. connect() failed  10061", Text(w.socket.GetLastErrorText()));
    EXPECT_FALSE(w.socket.IsValid());
    EXPECT_EQ("", Text(w.socket.GetSocketDesc()));

    tcp_test::LoopbackPeer second("127.0.0.1", port);
    ASSERT_TRUE(second.IsListening());
    EXPECT_TRUE(w.socket.Connect());
    EXPECT_EQ("", Text(w.socket.GetLastErrorText()));
    EXPECT_TRUE(second.Accept());
}

TEST(SocketWrapperConnect, ReconnectReplacesThePreviousConnection) {
    tcp_test::LoopbackPeer peer;
    Wrapper w("127.0.0.1", peer.Port());
    ASSERT_TRUE(w.ConnectTo(peer));
    ASSERT_TRUE(w.socket.Connect());
    // The first connection was shut down; a new one waits to be accepted.
    EXPECT_TRUE(peer.ClientClosed());
    EXPECT_TRUE(peer.Accept());
}

TEST(SocketWrapperSockets, TypeAndProtocolNumbersMapToNames) {
    Wrapper w;
    ASSERT_TRUE(w.socket.Startup());
    EXPECT_TRUE(w.socket.CreateSocket(7, 99));
    EXPECT_EQ("socket(AF_INET, SOCK_STREAM, IPPROTO_IP)", Text(w.socket.GetSocketDesc()));
    EXPECT_TRUE(w.socket.CreateSocket(2, 17));
    EXPECT_EQ("socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP)", Text(w.socket.GetSocketDesc()));
    EXPECT_TRUE(w.socket.CreateSocket(1, 6));
    EXPECT_EQ("socket(AF_INET, SOCK_STREAM, IPPROTO_TCP)", Text(w.socket.GetSocketDesc()));

    // The host refuses this pair: the text names what was asked for.
    EXPECT_FALSE(w.socket.CreateSocket(5, 17));
    EXPECT_EQ(
        0u,
        Text(w.socket.GetLastErrorText()).find("Error. socket(AF_INET, SOCK_SEQPACKET, IPPROTO_UDP) 100"));
}

TEST(SocketWrapperSockets, SecondCreateWhileConnectedFailsAndKeepsTheConnection) {
    tcp_test::LoopbackPeer peer;
    Wrapper w("127.0.0.1", peer.Port());
    ASSERT_TRUE(w.ConnectTo(peer));
    EXPECT_FALSE(w.socket.CreateSocket(2, 17));
    EXPECT_EQ("Error. Socket already created socket(AF_INET, SOCK_STREAM, IPPROTO_IP)",
              Text(w.socket.GetLastErrorText()));
    EXPECT_EQ(2, w.socket.Send("ok", 2));
    EXPECT_EQ("ok", peer.Receive(2));
}

TEST(SocketWrapperWait, WaitsTheMillisecondsAskedFor) {
    tcp_test::LoopbackPeer peer;
    Wrapper w("127.0.0.1", peer.Port());
    ASSERT_TRUE(w.ConnectTo(peer));
    {
        // Under a second is still a wait: cut to whole seconds it would be none.
        DelayedSend later(peer, 300, "x");
        EXPECT_EQ(1, w.socket.WaitForData(900));
    }
    char buf[4];
    ASSERT_EQ(1, w.socket.Receive(buf, sizeof(buf)));
    EXPECT_EQ(0, w.socket.WaitForData(100));
}

TEST(SocketWrapperDiscard, DropsWhatHasArrivedButLeavesThePeersCloseToTheNextReceive) {
    tcp_test::LoopbackPeer peer;
    Wrapper w("127.0.0.1", peer.Port());
    ASSERT_TRUE(w.ConnectTo(peer));
    EXPECT_EQ(0, w.socket.DiscardPending()) << "nothing there: returns without waiting";

    const std::string late(10000, 'L');
    ASSERT_TRUE(peer.Send(late));
    int nDropped = 0;
    while (nDropped < (int)late.size() && w.socket.WaitForData(5000) == 1)
        nDropped += w.socket.DiscardPending();
    EXPECT_EQ((int)late.size(), nDropped);
    EXPECT_EQ(0, w.socket.WaitForData(0));

    peer.CloseConnection();
    ASSERT_EQ(1, w.socket.WaitForData(5000));
    EXPECT_EQ(0, w.socket.DiscardPending());
    char buf[4];
    EXPECT_EQ(0, w.socket.Receive(buf, sizeof(buf)));
}

TEST(SocketWrapperLocalAddress, UsableOnlyWhereItCanReachTheHost) {
    const DWORD dwDebianHost = 0x7F000101;  // 127.0.1.1
    const DWORD dwTerminal = 0xC0A80102;    // 192.168.1.2
    const DWORD dwLanHost = 0xC0A80105;     // 192.168.1.5
    EXPECT_FALSE(CSocketWrapper::IsUsableLocalAddress(dwDebianHost, dwTerminal));
    EXPECT_FALSE(CSocketWrapper::IsUsableLocalAddress(INADDR_NONE, dwTerminal));
    EXPECT_FALSE(CSocketWrapper::IsUsableLocalAddress(INADDR_NONE, INADDR_LOOPBACK));
    EXPECT_TRUE(CSocketWrapper::IsUsableLocalAddress(dwDebianHost, INADDR_LOOPBACK));
    EXPECT_TRUE(CSocketWrapper::IsUsableLocalAddress(dwLanHost, dwTerminal));
    EXPECT_TRUE(CSocketWrapper::IsUsableLocalAddress(dwLanHost, INADDR_LOOPBACK));
}

TEST(SocketWrapperLocalAddress, LoopbackHostNameStillBindsForALoopbackTerminal) {
    tcp_test::LoopbackPeer peer;
    Wrapper w("127.0.0.1", peer.Port());
    w.socket.SetLocalHost("127.0.1.1");
    ASSERT_TRUE(w.ConnectTo(peer));
    EXPECT_EQ("127.0.1.1", peer.ClientAddress());
}

TEST(SocketWrapperLocalAddress, UnresolvableHostNameLetsTheSystemChoose) {
    tcp_test::LoopbackPeer peer;
    Wrapper w("127.0.0.1", peer.Port());
    w.socket.SetLocalHost("keyprobe-no-such-local-host.invalid");
    ASSERT_TRUE(w.ConnectTo(peer));
    EXPECT_EQ("127.0.0.1", peer.ClientAddress());
}

TEST(SocketWrapperLocalAddress, DefaultBindsToTheMachinesOwnAddress) {
    tcp_test::LoopbackPeer peer;
    Wrapper w("127.0.0.1", peer.Port());
    ASSERT_TRUE(w.socket.Init());
    const DWORD dwOwn = CSockAddr::GetIPFromHost(NULL);
    ASSERT_TRUE(w.socket.Connect()) << Text(w.socket.GetLastErrorText());
    ASSERT_TRUE(peer.Accept());
    if (CSocketWrapper::IsUsableLocalAddress(dwOwn, INADDR_LOOPBACK)) {
        EXPECT_EQ(Dotted(dwOwn), peer.ClientAddress());
    }
}
