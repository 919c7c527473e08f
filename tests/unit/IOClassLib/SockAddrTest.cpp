// Address records and the host, service and local-name look-ups behind them.
#include <SockAddr.h>

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace {

class SockAddrTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, WSAStartup(MAKEWORD(1, 1), &m_data)); }
    void TearDown() override { WSACleanup(); }
    WSADATA m_data;
};

std::string Bytes(const CSockAddr& addr) {
    return std::string(reinterpret_cast<const char*>(static_cast<const sockaddr*>(addr)), 16);
}

std::string OwnHostName() {
    char szName[260] = {0};
    gethostname(szName, (int)sizeof(szName));
    return szName;
}

}  // namespace

TEST_F(SockAddrTest, LayoutIsASockaddrIn) {
    CSockAddr addr;
    EXPECT_EQ(16, CSockAddr::Size());
    EXPECT_EQ(std::string(16, '\0'), Bytes(addr));
    ASSERT_TRUE(addr.CreateFrom("192.168.1.2", "8009", AF_INET));
    const std::string bytes = Bytes(addr);
    short nFamily;
    memcpy(&nFamily, bytes.data(), 2);
    EXPECT_EQ(AF_INET, nFamily);
    EXPECT_EQ(std::string("\x1F\x49", 2), bytes.substr(2, 2));
    EXPECT_EQ(std::string("\xC0\xA8\x01\x02", 4), bytes.substr(4, 4));
    EXPECT_EQ(std::string(8, '\0'), bytes.substr(8));
    EXPECT_EQ(0xC0A80102u, addr.GetAddress());
    EXPECT_EQ(8009, addr.GetPort());
    addr.ClearAddress();
    EXPECT_TRUE(addr.IsNull());
}

TEST_F(SockAddrTest, NoHostMeansThisMachine) {
    hostent* pEntry = gethostbyname(OwnHostName().c_str());
    ASSERT_NE(nullptr, pEntry) << "this machine's host name does not resolve";
    ULONG ulFirst;
    memcpy(&ulFirst, pEntry->h_addr_list[0], 4);

    CSockAddr addr;
    EXPECT_TRUE(addr.CreateFrom(NULL, "0", AF_INET));
    EXPECT_EQ(ulFirst, addr.sin_addr.s_addr);
    EXPECT_EQ(0, addr.sin_port);
}

TEST_F(SockAddrTest, OnlyAllZeroAddressAndPortFails) {
    CSockAddr addr;
    EXPECT_FALSE(addr.CreateFrom("0.0.0.0", "0", AF_INET));
    EXPECT_TRUE(addr.CreateFrom("0.0.0.0", "1", AF_INET));
    EXPECT_TRUE(addr.CreateFrom("127.0.0.1", "0", AF_INET));
}

TEST_F(SockAddrTest, UnresolvableHostGivesBroadcastAndStillSucceeds) {
    CSockAddr addr;
    EXPECT_TRUE(addr.CreateFrom("keyprobe-no-such-terminal.invalid", "8009", AF_INET));
    EXPECT_EQ(0xFFFFFFFFu, addr.GetAddress());
    EXPECT_EQ(htons(8009), addr.sin_port);
}

TEST_F(SockAddrTest, HostTextForms) {
    EXPECT_EQ(0xC0A80102u, CSockAddr::GetIPFromHost("192.168.1.2"));
    EXPECT_EQ(0xFFFFFFFFu, CSockAddr::GetIPFromHost("255.255.255.255"));
    EXPECT_EQ(0x7F000001u, CSockAddr::GetIPFromHost("localhost"));
    EXPECT_EQ(0xFFFFFFFFu, CSockAddr::GetIPFromHost("keyprobe-no-such-terminal.invalid"));
}

TEST_F(SockAddrTest, PortFromDigitsOrServiceName) {
    EXPECT_EQ(0, CSockAddr::GetPortFromService("0"));
    EXPECT_EQ(8009, CSockAddr::GetPortFromService("8009"));
    EXPECT_EQ(80, CSockAddr::GetPortFromService("80abc"));
    EXPECT_EQ(4464, CSockAddr::GetPortFromService("70000"));
    EXPECT_EQ(23, CSockAddr::GetPortFromService("telnet"));
    EXPECT_EQ(0, CSockAddr::GetPortFromService("keyprobe-no-such-service"));
    EXPECT_EQ(0, CSockAddr::GetPortFromService(""));
}

TEST_F(SockAddrTest, LocalHostNameNeedsRoomForItsTerminator) {
    char szName[260];
    ASSERT_TRUE(CSockAddr::GetLocalHostName(szName, sizeof(szName)));
    const UINT nLength = (UINT)strlen(szName);
    ASSERT_GT(nLength, 0u);

    char szShort[260];
    memset(szShort, 'x', sizeof(szShort));
    SetLastError(0);
    EXPECT_FALSE(CSockAddr::GetLocalHostName(szShort, nLength));
    EXPECT_EQ((DWORD)ERROR_INSUFFICIENT_BUFFER, GetLastError());
    EXPECT_EQ('x', szShort[0]);  // left alone

    EXPECT_TRUE(CSockAddr::GetLocalHostName(szShort, nLength + 1));
    EXPECT_STREQ(szName, szShort);

    SetLastError(0);
    EXPECT_FALSE(CSockAddr::GetLocalHostName(NULL, 10));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
    EXPECT_FALSE(CSockAddr::GetLocalHostName(szShort, 0));
    EXPECT_EQ((DWORD)ERROR_INVALID_PARAMETER, GetLastError());
}
