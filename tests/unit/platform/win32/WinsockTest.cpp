// Winsock over BSD sockets: start-up counting, handles, connections, select, errors.
#include <winsock2.h>

#include <gtest/gtest.h>

#include <string.h>

#include <string>
#include <thread>

#include "ScopedEnv.h"
#include "TcpTestPeer.h"

namespace {

// Winsock started for the length of a test, and released again so that the next test
// starts from a process where Winsock is not started.
class WinsockSession {
public:
    WinsockSession() { m_nResult = WSAStartup(MAKEWORD(1, 1), &m_data); }
    ~WinsockSession() {
        if (m_nResult == 0)
            WSACleanup();
    }
    int m_nResult;
    WSADATA m_data;
};

sockaddr_in Loopback(unsigned short port, const char* pszAddress = "127.0.0.1") {
    sockaddr_in sa;
    memset(&sa, 0, sizeof(sa));
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    sa.sin_addr.s_addr = inet_addr(pszAddress);
    return sa;
}

SOCKET ConnectedTo(const tcp_test::LoopbackPeer& peer) {
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = Loopback(peer.Port());
    if (s == INVALID_SOCKET)
        return s;
    if (connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
        closesocket(s);
        return INVALID_SOCKET;
    }
    return s;
}

int SelectRead(SOCKET s, long lSeconds) {
    fd_set readSet = {};
    FD_ZERO(&readSet);
    FD_SET(s, &readSet);
    timeval tv;
    tv.tv_sec = lSeconds;
    tv.tv_usec = 0;
    return select(0, &readSet, NULL, NULL, &tv);
}

}  // namespace

TEST(WinsockStartup, CallsBeforeStartupFailWithNotInitialised) {
    SetLastError(0);
    EXPECT_EQ(INVALID_SOCKET, socket(AF_INET, SOCK_STREAM, 0));
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    char szName[64];
    EXPECT_EQ(SOCKET_ERROR, gethostname(szName, (int)sizeof(szName)));
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    EXPECT_EQ(nullptr, gethostbyname("localhost"));
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, WSACleanup());
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    // Pure conversions need no start-up.
    EXPECT_EQ(0x0100007fUL, inet_addr("127.0.0.1"));
    EXPECT_EQ(0x3412, htons(0x1234));
}

TEST(WinsockStartup, GrantsVersionOneOneAndCountsPerProcess) {
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(1, 1), &data));
    EXPECT_EQ(257, data.wVersion);
    EXPECT_EQ(MAKEWORD(2, 2), data.wHighVersion);
    ASSERT_EQ(0, WSAStartup(MAKEWORD(2, 2), &data));
    EXPECT_EQ(MAKEWORD(2, 2), data.wVersion);

    // One of two start-ups released: still started.
    ASSERT_EQ(0, WSACleanup());
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(INVALID_SOCKET, s);

    // The last release closes what is still open.
    ASSERT_EQ(0, WSACleanup());
    EXPECT_EQ(SOCKET_ERROR, closesocket(s));
    EXPECT_EQ(WSANOTINITIALISED, WSAGetLastError());
    ASSERT_EQ(0, WSAStartup(MAKEWORD(1, 1), &data));
    EXPECT_EQ(SOCKET_ERROR, closesocket(s));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
    ASSERT_EQ(0, WSACleanup());
}

TEST(WinsockStartup, RefusesVersionZeroAndMissingData) {
    WSADATA data;
    EXPECT_EQ(WSAVERNOTSUPPORTED, WSAStartup(MAKEWORD(0, 9), &data));
    EXPECT_EQ(WSAEFAULT, WSAStartup(MAKEWORD(1, 1), NULL));
    // Neither counted as a start-up.
    EXPECT_EQ(SOCKET_ERROR, WSACleanup());
}

TEST(WinsockConnection, RefusedConnectReportsConnRefused) {
    WinsockSession session;
    ASSERT_EQ(0, session.m_nResult);
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(INVALID_SOCKET, s);
    sockaddr_in sa = Loopback(tcp_test::UnusedLoopbackPort());
    EXPECT_EQ(SOCKET_ERROR, connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
    EXPECT_EQ(WSAECONNREFUSED, WSAGetLastError());
    EXPECT_EQ(0, closesocket(s));
}

TEST(WinsockConnection, UnansweredConnectGivesUpWithTimedOut) {
    // The bound is Windows' 21 s unless set; a short one keeps the test quick.
    testsupport::ScopedEnv bound("IOCLASSLIB_CONNECT_TIMEOUT_MS", "1000");
    WinsockSession session;
    // A listener whose backlog is full drops every further handshake unanswered, as a
    // terminal that is switched off would.
    tcp_test::LoopbackPeer peer("127.0.0.1", 0, 0);
    ASSERT_TRUE(peer.IsListening());
    SOCKET filler = ConnectedTo(peer);
    ASSERT_NE(INVALID_SOCKET, filler);

    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(INVALID_SOCKET, s);
    sockaddr_in sa = Loopback(peer.Port());
    EXPECT_EQ(SOCKET_ERROR, connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
    EXPECT_EQ(WSAETIMEDOUT, WSAGetLastError());
    EXPECT_EQ(0, closesocket(s));
    EXPECT_EQ(0, closesocket(filler));
}

TEST(WinsockConnection, BytesTravelBothWaysAndEndOfStreamReadsZero) {
    WinsockSession session;
    tcp_test::LoopbackPeer peer;
    ASSERT_TRUE(peer.IsListening());
    SOCKET s = ConnectedTo(peer);
    ASSERT_NE(INVALID_SOCKET, s);
    ASSERT_TRUE(peer.Accept());

    const char frame[] = {0x05, 0x04, 0x16, 0x17};
    EXPECT_EQ(4, sendto(s, frame, 4, 0, NULL, 0));
    EXPECT_EQ(std::string(frame, 4), peer.Receive(4));

    ASSERT_TRUE(peer.Send(std::string("\x05\x05\x16\x00\x16", 5)));
    ASSERT_EQ(1, SelectRead(s, 5));
    char buf[16];
    sockaddr_in from = Loopback(1234, "1.2.3.4");
    int fromLen = sizeof(from);
    EXPECT_EQ(5, recvfrom(s, buf, sizeof(buf), 0, reinterpret_cast<sockaddr*>(&from), &fromLen));
    EXPECT_EQ(0, memcmp(buf, "\x05\x05\x16\x00\x16", 5));
    // A stream's source is the connected peer; the record is left alone.
    EXPECT_EQ(inet_addr("1.2.3.4"), from.sin_addr.s_addr);

    peer.CloseConnection();
    EXPECT_EQ(1, SelectRead(s, 5));
    EXPECT_EQ(0, recvfrom(s, buf, sizeof(buf), 0, NULL, NULL));
    EXPECT_EQ(0, closesocket(s));
}

TEST(WinsockConnection, SendToAGonePeerFailsWithoutKillingTheProcess) {
    WinsockSession session;
    tcp_test::LoopbackPeer peer;
    SOCKET s = ConnectedTo(peer);
    ASSERT_NE(INVALID_SOCKET, s);
    ASSERT_TRUE(peer.Accept());
    peer.CloseConnection();
    peer.CloseListener();

    // The first send may still be accepted locally; the peer's reset fails a later one.
    char block[1024] = {0};
    int nResult = 0;
    for (int i = 0; i < 50 && nResult != SOCKET_ERROR; ++i) {
        nResult = sendto(s, block, sizeof(block), 0, NULL, 0);
        if (nResult != SOCKET_ERROR)
            SelectRead(s, 0);
    }
    EXPECT_EQ(SOCKET_ERROR, nResult);
    EXPECT_EQ(WSAECONNRESET, WSAGetLastError());
    EXPECT_EQ(0, closesocket(s));
}

TEST(WinsockConnection, ShutdownStopsSendingAndTellsThePeer) {
    WinsockSession session;
    tcp_test::LoopbackPeer peer;
    SOCKET s = ConnectedTo(peer);
    ASSERT_NE(INVALID_SOCKET, s);
    ASSERT_TRUE(peer.Accept());
    EXPECT_EQ(0, shutdown(s, SD_SEND));
    EXPECT_TRUE(peer.ClientClosed());
    EXPECT_EQ(SOCKET_ERROR, sendto(s, "x", 1, 0, NULL, 0));
    EXPECT_EQ(WSAESHUTDOWN, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, shutdown(s, 7));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError());
    EXPECT_EQ(0, closesocket(s));
}

TEST(WinsockConnection, BindFailuresCarryWinsockCodes) {
    WinsockSession session;
    tcp_test::LoopbackPeer peer;
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(INVALID_SOCKET, s);
    sockaddr_in sa = Loopback(peer.Port());
    EXPECT_EQ(SOCKET_ERROR, bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
    EXPECT_EQ(WSAEADDRINUSE, WSAGetLastError());
    sa.sin_family = 23;
    EXPECT_EQ(SOCKET_ERROR, bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
    EXPECT_EQ(WSAEAFNOSUPPORT, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, bind(s, reinterpret_cast<sockaddr*>(&sa), 8));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
    EXPECT_EQ(0, closesocket(s));
}

TEST(WinsockConnection, StreamToBroadcastIsRefusedLocally) {
    WinsockSession session;
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(INVALID_SOCKET, s);
    sockaddr_in sa = Loopback(8009, "255.255.255.255");
    EXPECT_EQ(SOCKET_ERROR, connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
    EXPECT_EQ(WSAENETUNREACH, WSAGetLastError());
    EXPECT_EQ(0, closesocket(s));
}

TEST(WinsockHandles, ClosedOrMadeUpHandlesAreNotSockets) {
    WinsockSession session;
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_NE(INVALID_SOCKET, s);
    ASSERT_EQ(0, closesocket(s));
    char buf[4];
    EXPECT_EQ(SOCKET_ERROR, recvfrom(s, buf, sizeof(buf), 0, NULL, NULL));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
    EXPECT_EQ(SOCKET_ERROR, closesocket(s));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
    // A host descriptor number is not a handle.
    EXPECT_EQ(SOCKET_ERROR, shutdown(0, SD_BOTH));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
}

TEST(WinsockSelect, TimeOutEmptiesTheSetAndReadySocketsStay) {
    WinsockSession session;
    tcp_test::LoopbackPeer peerA, peerB;
    SOCKET a = ConnectedTo(peerA);
    ASSERT_TRUE(peerA.Accept());
    SOCKET b = ConnectedTo(peerB);
    ASSERT_TRUE(peerB.Accept());

    fd_set readSet = {};
    FD_ZERO(&readSet);
    FD_SET(a, &readSet);
    FD_SET(b, &readSet);
    FD_SET(a, &readSet);  // already in: not added twice
    EXPECT_EQ(2u, readSet.fd_count);
    timeval tv = {0, 0};
    EXPECT_EQ(0, select(0, &readSet, NULL, NULL, &tv));
    EXPECT_EQ(0u, readSet.fd_count);

    ASSERT_TRUE(peerB.Send("z"));
    FD_SET(a, &readSet);
    FD_SET(b, &readSet);
    fd_set writeSet = {};
    FD_ZERO(&writeSet);
    FD_SET(a, &writeSet);
    tv.tv_sec = 5;
    // b readable, a writable: two set entries.
    EXPECT_EQ(2, select(0, &readSet, &writeSet, NULL, &tv));
    EXPECT_FALSE(FD_ISSET(a, &readSet));
    EXPECT_TRUE(FD_ISSET(b, &readSet));
    EXPECT_TRUE(FD_ISSET(a, &writeSet));

    FD_CLR(b, &readSet);
    EXPECT_EQ(0u, readSet.fd_count);
    closesocket(a);
    closesocket(b);
}

TEST(WinsockSelect, RejectsEmptySetsAndUnknownHandles) {
    WinsockSession session;
    fd_set readSet = {};
    FD_ZERO(&readSet);
    timeval tv = {0, 0};
    EXPECT_EQ(SOCKET_ERROR, select(0, &readSet, NULL, NULL, &tv));
    EXPECT_EQ(WSAEINVAL, WSAGetLastError());
    FD_SET((SOCKET)0x7777, &readSet);
    EXPECT_EQ(SOCKET_ERROR, select(0, &readSet, NULL, NULL, &tv));
    EXPECT_EQ(WSAENOTSOCK, WSAGetLastError());
}

TEST(WinsockSelect, ClosingTheSocketWakesAWaitingSelect) {
    WinsockSession session;
    tcp_test::LoopbackPeer peer;
    SOCKET s = ConnectedTo(peer);
    ASSERT_NE(INVALID_SOCKET, s);
    ASSERT_TRUE(peer.Accept());
    int nResult = -2;
    std::thread waiter([&] { nResult = SelectRead(s, 60); });
    // Whether the close comes before or during the wait, the wait does not run its
    // minute: it ends readable (woken) or as an error (already closed).
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(0, closesocket(s));
    waiter.join();
    EXPECT_NE(0, nResult);
}

TEST(WinsockNames, DottedTextForms) {
    EXPECT_EQ(htonl(0xC0A80102), inet_addr("192.168.1.2"));
    EXPECT_EQ(htonl(0x7F000001), inet_addr("127.1"));
    EXPECT_EQ(htonl(0x0A000001), inet_addr("0x0a.0.0.1"));
    EXPECT_EQ(INADDR_NONE, inet_addr("255.255.255.255"));
    EXPECT_EQ(INADDR_NONE, inet_addr("256.1.1.1"));
    EXPECT_EQ(INADDR_NONE, inet_addr("terminal"));
    EXPECT_EQ(INADDR_NONE, inet_addr(""));
    EXPECT_EQ(INADDR_NONE, inet_addr(NULL));
    EXPECT_EQ(0x1234u, ntohs(htons(0x1234)));
    EXPECT_EQ(0x12345678ul, ntohl(htonl(0x12345678)));
    const u_long net = htonl(0x01020304);
    EXPECT_EQ(1, reinterpret_cast<const unsigned char*>(&net)[0]);
}

TEST(WinsockNames, HostLookup) {
    WinsockSession session;
    hostent* pEntry = gethostbyname("127.0.0.2");
    ASSERT_NE(nullptr, pEntry);
    EXPECT_EQ(AF_INET, pEntry->h_addrtype);
    EXPECT_EQ(4, pEntry->h_length);
    in_addr addr;
    memcpy(&addr, pEntry->h_addr, 4);
    EXPECT_EQ(inet_addr("127.0.0.2"), addr.s_addr);

    pEntry = gethostbyname("localhost");
    ASSERT_NE(nullptr, pEntry);
    memcpy(&addr, pEntry->h_addr_list[0], 4);
    EXPECT_EQ(127, addr.S_un.S_un_b.s_b1);

    EXPECT_EQ(nullptr, gethostbyname("keyprobe-no-such-terminal.invalid"));
    EXPECT_GE(WSAGetLastError(), WSAHOST_NOT_FOUND);
    EXPECT_LE(WSAGetLastError(), WSANO_DATA);

    // No name: this machine.
    char szName[256];
    ASSERT_EQ(0, gethostname(szName, (int)sizeof(szName)));
    EXPECT_NE(nullptr, gethostbyname(NULL));
}

TEST(WinsockNames, HostNameNeedsRoomForItsTerminator) {
    WinsockSession session;
    char szName[256];
    ASSERT_EQ(0, gethostname(szName, (int)sizeof(szName)));
    const int nLength = (int)strlen(szName);
    char szExact[256];
    EXPECT_EQ(SOCKET_ERROR, gethostname(szExact, nLength));
    EXPECT_EQ(WSAEFAULT, WSAGetLastError());
    EXPECT_EQ(0, gethostname(szExact, nLength + 1));
    EXPECT_STREQ(szName, szExact);
}

TEST(WinsockNames, ServiceLookup) {
    WinsockSession session;
    servent* pEntry = getservbyname("telnet", NULL);
    ASSERT_NE(nullptr, pEntry) << "the services database lacks telnet";
    EXPECT_EQ(23, ntohs((u_short)pEntry->s_port));
    EXPECT_STREQ("telnet", pEntry->s_name);
    EXPECT_EQ(nullptr, getservbyname("keyprobe-no-such-service", NULL));
    EXPECT_EQ(WSANO_DATA, WSAGetLastError());
}
