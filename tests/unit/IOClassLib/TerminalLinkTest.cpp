// The terminal link: protocol choice, ownership, and the open-port gate in front of
// every send and receive.
#include <gtest/gtest.h>

#include "FakePort.h"
#include "RawProtocol.h"
#include "STXETXProtocol.h"
#include "TerminalLink.h"
#include "VLIProtocol.h"

namespace {

TEST(TerminalLinkProtocol, NumberChoosesProtocolAndPortRecordsItsType) {
    FakePort* port = new FakePort();
    CTerminalLink link(port, 0);
    EXPECT_NE(nullptr, dynamic_cast<CRawProtocol*>(link.GetProtocol()));
    EXPECT_EQ(0, port->GetProtocolType());

    link.SetProtocol(2);
    EXPECT_NE(nullptr, dynamic_cast<CSTXETXProtocol*>(link.GetProtocol()));
    EXPECT_EQ(2, port->GetProtocolType());

    link.SetProtocol(7);
    CProtocol* pProtocol = link.GetProtocol();
    EXPECT_NE(nullptr, dynamic_cast<CVLIProtocol*>(pProtocol));
    EXPECT_EQ(1, port->GetProtocolType());
    EXPECT_EQ(port, pProtocol->m_pPort);
    EXPECT_EQ(&link, pProtocol->m_pLink);
    EXPECT_EQ(port, link.GetPort());
}

TEST(TerminalLinkOwnership, DestroysThePortExactlyOnce) {
    int nDestroyed = 0;
    {
        CTerminalLink link(new FakePort(nullptr, &nDestroyed), 1);
        link.SetProtocol(2);  // replacing the protocol keeps the port
        EXPECT_EQ(0, nDestroyed);
    }
    EXPECT_EQ(1, nDestroyed);
}

TEST(TerminalLinkGate, ClosedPortSendsAndReceivesNothing) {
    FakePort* port = new FakePort();
    port->open = false;
    port->QueueRead({0x05, 0x05, 0x16, 0x00, 0x16});
    CTerminalLink link(port, 1);
    CString data, trace;
    EXPECT_EQ(0u, link.SendPacket(0x16, nullptr, 0, trace));
    EXPECT_EQ(0u, link.ReceivePacket(data, trace));
    EXPECT_TRUE(port->events.empty());
}

TEST(TerminalLinkGate, OpenPortPassesToTheProtocol) {
    FakePort* port = new FakePort();
    port->open = false;
    CTerminalLink link(port, 1);
    EXPECT_TRUE(link.OpenPort());
    EXPECT_TRUE(link.IsOpen());
    port->QueueResponse(FakePort::Bytes{0x05, 0x05, 0x16, 0x00, 0x16});
    CString data, trace;
    EXPECT_EQ(4u, link.SendPacket(0x16, nullptr, 0, trace));
    EXPECT_EQ(5u, link.ReceivePacket(data, trace));
    EXPECT_TRUE(link.ClosePort());
    EXPECT_FALSE(link.IsOpen());
    EXPECT_EQ(1, port->closeCalls);
}

TEST(TerminalLinkWithoutPort, ReportsClosedAndForwardsNothing) {
    CTerminalLink link(nullptr, 1);
    CString data, trace;
    EXPECT_FALSE(link.OpenPort());
    EXPECT_FALSE(link.IsOpen());
    EXPECT_TRUE(link.ClosePort());
    EXPECT_EQ(0u, link.SendPacket(0x16, nullptr, 0, trace));
    EXPECT_EQ(0u, link.ReceivePacket(data, trace));
    link.SetReadWriteTimeout(60000);
    EXPECT_EQ(0u, link.GetReadWriteTimeout());
    EXPECT_FALSE(link.IsDataAvailableSupported());
    link.FlushReceiveBuffer();
}

TEST(TerminalLinkForwarding, SettingsReachThePort) {
    FakePort* port = new FakePort();
    CTerminalLink link(port, 1);
    link.SetReadWriteTimeout(60000);
    link.SetReadTimeoutModifier(11);
    link.SetCurrentReadTimeout(12);
    link.SetReadTimeoutExtension(13);
    link.SetLastPortError(14);
    link.SetFirstRetry(TRUE);
    link.SetSecondRetry(TRUE);
    EXPECT_EQ(60000u, port->m_ReadWriteTimeout);
    EXPECT_EQ(11u, port->m_ReadTimeoutModifier);
    EXPECT_EQ(12u, port->m_CurrentReadTimeout);
    EXPECT_EQ(13u, port->m_ReadTimeoutExtension);
    EXPECT_EQ(14u, port->m_dwLastError);
    EXPECT_TRUE(port->m_bFirstRetry);
    EXPECT_TRUE(port->m_bSecondRetry);
    EXPECT_EQ(60000u, link.GetReadWriteTimeout());
    EXPECT_EQ(14u, link.GetLastPortError());

    link.SetOwner(7);
    link.ReleaseOwner(8);
    EXPECT_EQ(7u, port->GetOwner());
    link.ReleaseOwner(7);
    EXPECT_FALSE(port->HasOwner());

    link.FlushReceiveBuffer();
    EXPECT_EQ(1u, port->CountEvents("Flush"));
}

}  // namespace
