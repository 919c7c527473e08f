// The "USBIO Device" connection type builds the USBIO port, closed until the link opens it.
#include "TCPIPPort.h"

#include <gtest/gtest.h>

#include <memory>

#include "Connection.h"
#include "USBPort.h"

TEST(ConnectionUsbio, TheUsbioRowBuildsTheUsbioPort) {
    ConnectionSettings settings;
    settings.nPortKind = PortKindFromConnectType(" USBIO Device\t");
    std::unique_ptr<CPort> port(CreateTerminalPort(settings, nullptr));
    ASSERT_NE(nullptr, dynamic_cast<CUSBPort*>(port.get()));
    EXPECT_FALSE(port->IsOpen());
}
