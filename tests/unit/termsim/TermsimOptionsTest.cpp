// The command line: defaults, values, and the refusals that keep a test from running
// against a simulator that does something other than what it asked for.
#include "Options.h"

#include <gtest/gtest.h>

using namespace termsim;

namespace {

ParseOutcome parse(std::vector<std::string> args, Options& o, std::string& error) {
    return parseCommandLine(args, o, error);
}

}  // namespace

TEST(TermsimCommandLine, DefaultsServeAllKeysLoadedOverAPtyWithVli) {
    Options o;
    std::string error;
    ASSERT_EQ(ParseOutcome::Run, parse({}, o, error));
    EXPECT_EQ(TransportKind::Pty, o.transport);
    EXPECT_EQ(Framing::Vli, o.framing);
    EXPECT_EQ("LLLLLLLLLL", keyStatesText(o.masterKeys));
    EXPECT_EQ("LLLLLLLLLL", keyStatesText(o.dukptKeys));
    EXPECT_TRUE(o.faults.rules().empty());
    EXPECT_EQ(0u, o.maxMs);
    EXPECT_EQ(0u, o.exitAfterIdleMs);
}

TEST(TermsimCommandLine, ValuesInBothSpellings) {
    Options o;
    std::string error;
    ASSERT_EQ(ParseOutcome::Run, parse({"--transport=tcp",
                                        "--port",
                                        "0x1F49",
                                        "--ms",
                                        "L8l1LLLLLL",
                                        "--dukpt=1111111111",
                                        "--framing",
                                        "raw",
                                        "--raw-gap",
                                        "20ms",
                                        "--fault",
                                        "a:3=no-reply",
                                        "--fault=b:*=slow",
                                        "--platform-error",
                                        "0x1234:Printer: out of paper",
                                        "--close-after-frames",
                                        "4",
                                        "--exit-after-idle",
                                        "5",
                                        "--max-seconds=60",
                                        "--transcript",
                                        "/tmp/t",
                                        "--record",
                                        "/tmp/r"},
                                       o, error))
        << error;
    EXPECT_EQ(TransportKind::Tcp, o.transport);
    EXPECT_EQ(8009u, o.tcpPort);
    EXPECT_EQ("L8L1LLLLLL", keyStatesText(o.masterKeys));
    EXPECT_EQ(KeyState::AbsentF8, o.masterKeys[1]);
    EXPECT_EQ(KeyState::AbsentF1, o.dukptKeys[9]);
    EXPECT_EQ(Framing::Raw, o.framing);
    EXPECT_EQ(20u, o.rawGapMs);
    EXPECT_EQ(2u, o.faults.rules().size());
    EXPECT_TRUE(o.platformErrorGiven);
    EXPECT_EQ(0x1234, o.platformErrorCode);
    EXPECT_EQ("Printer: out of paper", o.platformErrorText);
    EXPECT_EQ(4u, o.closeAfterFrames);
    EXPECT_EQ(5000u, o.exitAfterIdleMs);
    EXPECT_EQ(60000u, o.maxMs);
    EXPECT_EQ("/tmp/t", o.transcriptPath);
    EXPECT_EQ("/tmp/r", o.recordPath);
}

TEST(TermsimCommandLine, HelpWinsAndDocumentsEveryOption) {
    Options o;
    std::string error;
    EXPECT_EQ(ParseOutcome::Help, parse({"--ms", "LLLLLLLLLL", "--help"}, o, error));
    EXPECT_EQ(ParseOutcome::Help, parse({"-h"}, o, error));
    std::string help = helpText();
    for (const char* option :
         {"--transport", "--link", "--port", "--close-after-frames", "--framing", "--frame-timeout",
          "--raw-gap", "--stx-resend", "--ms", "--dukpt", "--platform-error", "--fault", "--transcript",
          "--record", "--replay", "--exit-after-idle", "--max-seconds", "READY"})
        EXPECT_NE(std::string::npos, help.find(option)) << option;
    for (const char* action : {"status:", "data:", "pad:", "reply:", "no-reply", "bad-checksum", "long-form",
                               "length-over", "garbage", "trailing:", "delay:", "split:", "split-at:",
                               "header-split", "slow", "close-after", "no-ack", "nak"})
        EXPECT_NE(std::string::npos, help.find(action)) << action;
}

TEST(TermsimCommandLine, RefusalsNameTheProblem) {
    struct Case {
        std::vector<std::string> args;
        const char* mentions;
    };
    const Case cases[] = {
        {{"--bogus"}, "--bogus"},
        {{"stray"}, "stray"},
        {{"--ms"}, "needs a value"},
        {{"--ms", "LLLLLLLLL"}, "10 characters"},
        {{"--ms", "LLLLLLLLLX"}, "10 characters"},
        {{"--transport", "usb"}, "pty, tcp"},
        {{"--framing", "hdlc"}, "vli, stx or raw"},
        {{"--transport", "tcp", "--port", "65536"}, "port"},
        {{"--port", "80"}, "--transport tcp"},
        {{"--close-after-frames", "2"}, "--transport tcp"},
        {{"--transport", "tcp", "--link", "/tmp/x"}, "--transport pty"},
        {{"--fault", "a:1=close"}, "--transport tcp"},
        {{"--fault", "a:1=nak"}, "--framing stx"},
        {{"--framing", "stx", "--fault", "a:1=length-over"}, "length-over"},
        {{"--framing", "raw", "--fault", "a:1=long-form"}, "long-form"},
        {{"--stx-resend", "1"}, "--framing stx"},
        {{"--replay", "/tmp/r", "--fault", "a:1=no-reply"}, "--replay"},
        {{"--replay", "/tmp/r", "--record", "/tmp/r"}, "--record and --replay name the same file"},
        {{"--transcript", "/tmp/r", "--record", "/tmp/r"}, "--transcript and --record"},
        {{"--transcript", "/tmp/r", "--replay", "/tmp/r"}, "--transcript and --replay"},
        {{"--platform-error", "70000:x"}, "CODE"},
        {{"--platform-error", "12"}, "CODE:TEXT"},
        {{"--max-seconds", "0"}, "seconds"},
        {{"--exit-after-idle", "1.5"}, "seconds"},
        {{"--frame-timeout", "0"}, "milliseconds"},
        {{"--fault", "a:3=split:1"}, "--fault"},
        {{"--transport", "hid", "--unnumbered", "--report-ids", "1:2"},
         "--unnumbered and --report-ids conflict"},
        {{"--transport", "hid", "--report-ids", "1:2", "--unnumbered"},
         "--unnumbered and --report-ids conflict"},
        // An option with an upper limit says it.
        {{"--transport", "tcp", "--close-after-frames", "1000001"}, "0 to 1000000"},
        {{"--transport", "hid", "--unplug-after-frames", "1000001"}, "0 to 1000000"},
        {{"--transport", "hid", "--socket", std::string(108, 's')}, "at most 107 characters"},
        {{"--frame-timeout", "3601s"}, "up to 1 hour"},
        {{"--raw-gap", "3600001"}, "up to 1 hour"},
        {{"--transport", "hid", "--unplug-after-frames", "1", "--replug-after", "2h"}, "up to 1 hour"},
        {{"--transport", "usbio", "--usbio-packet-gap", "3601s"}, "up to 1 hour"},
        {{"--transport", "usbio", "--usbio-driver-version", "0x10000"}, "0 to 0xFFFF"},
        {{"--fault", "a:3=pad:65001"}, "0 to 65000"},
        {{"--fault", "a:3=length-over:256"}, "1 to 255"},
        {{"--fault", "a:3=delay:2h"}, "up to 1 hour"},
        {{"--fault", "a:256=no-reply"}, "slots 0 to 255"},
        {{"--fault", "a:#1000001=no-reply"}, "up to 1000000"},
        {{"--fault", "a:3=split-at:65537"}, "byte offsets 1 to 65536"},
    };
    for (const Case& c : cases) {
        Options o;
        std::string error;
        EXPECT_EQ(ParseOutcome::Error, parse(c.args, o, error)) << c.args[0];
        EXPECT_NE(std::string::npos, error.find(c.mentions)) << error;
    }
}
