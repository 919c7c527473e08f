// The virtual USB device's command line: its settings, and the combinations refused.
#include "Options.h"

#include <gtest/gtest.h>

using namespace termsim;

TEST(TermsimUsbioCommandLine, DeviceSettingsAndTheirDefaults) {
    Options o;
    std::string error;
    ASSERT_EQ(ParseOutcome::Run, parseCommandLine({"--transport", "usbio"}, o, error)) << error;
    EXPECT_EQ(TransportKind::Usbio, o.transport);
    EXPECT_EQ(0x1209, o.usbio.vendorId);
    EXPECT_EQ(0x0001, o.usbio.productId);
    EXPECT_EQ(32u, o.usbio.packetSize);
    EXPECT_EQ(0x0141, o.usbio.driverVersion);

    ASSERT_EQ(
        ParseOutcome::Run,
        parseCommandLine({"--transport", "usbio", "--usbio-id", "abcd:00EF", "--usbio-packet-size=64",
                          "--usbio-driver-version", "0x0140", "--usbio-replug-after", "2s",
                          "--close-after-frames", "3", "--fault", "fetch:2=stall", "--fault", "a:1=close"},
                         o, error))
        << error;
    EXPECT_EQ(0xABCD, o.usbio.vendorId);
    EXPECT_EQ(0x00EF, o.usbio.productId);
    EXPECT_EQ(64u, o.usbio.packetSize);
    EXPECT_EQ(0x0140, o.usbio.driverVersion);
    EXPECT_EQ(2000u, o.usbio.replugAfterMs);
    EXPECT_NE(std::string::npos, helpText().find("READY usbio SOCKET_PATH"));
}

TEST(TermsimUsbioCommandLine, RefusalsNameTheProblem) {
    struct Case {
        std::vector<std::string> args;
        const char* mentions;
    } cases[] = {
        {{"--usbio-id", "1209:0001"}, "--transport usbio"},
        {{"--fault", "a:1=stall"}, "--transport usbio"},
        {{"--transport", "tcp", "--fault", "a:1=stall"}, "--transport usbio"},
        {{"--transport", "usbio", "--usbio-id", "1209-0001"}, "VVVV:PPPP"},
        {{"--transport", "usbio", "--usbio-id", "12g9:0001"}, "VVVV:PPPP"},
        {{"--transport", "usbio", "--usbio-packet-size", "48"}, "8, 16, 32, 64 or 512"},
        {{"--transport", "usbio", "--usbio-driver-version", "0x10000"}, "version"},
        {{"--transport", "usbio", "--usbio-replug-after", "0"}, "duration"},
        {{"--transport", "usbio", "--link", "/tmp/x"}, "--transport pty"},
    };
    for (const Case& c : cases) {
        Options o;
        std::string error;
        EXPECT_EQ(ParseOutcome::Error, parseCommandLine(c.args, o, error)) << c.args.back();
        EXPECT_NE(std::string::npos, error.find(c.mentions)) << error;
    }
}
