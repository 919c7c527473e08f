// The built termsim program as the end-to-end tests use it: start-up line, refusals,
// clean stops, the pty link, and a recording played back.
#include "TermsimProcess.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>

using testsupport::ByteVec;
using testsupport::TermsimProcess;

namespace {

using testsupport::connectLoopback;
using testsupport::hex;

// Sends a request and collects the reply of the expected length.
ByteVec exchange(int fd, const ByteVec& request, std::size_t replyLength) {
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) != static_cast<ssize_t>(request.size()))
        return {};
    ByteVec out;
    long long deadline = testsupport::monotonicMs() + 3000;
    while (out.size() < replyLength && testsupport::monotonicMs() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        std::uint8_t buffer[256];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        out.insert(out.end(), buffer, buffer + n);
    }
    return out;
}

// The session the recording test plays: a follow-up answered 00, then a fetch answered 03.
void exchangeFollowUpAndFetch(int port) {
    int fd = connectLoopback(port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(hex("05 05 61 00 61"), exchange(fd, hex("05 05 61 51 30"), 5));
    EXPECT_EQ(hex("05 05 16 03 15"), exchange(fd, hex("05 04 16 17"), 5));
    close(fd);
}

}  // namespace

TEST(TermsimProgram, ReportsReadyAndStopsCleanlyOnSigterm) {
    TermsimProcess sim({"--dukpt", "1111111111"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    EXPECT_EQ(0, sim.readyLine().compare(0, 10, "READY pty "));
    EXPECT_EQ(0, sim.ptyPath().compare(0, 5, "/dev/"));
    struct stat st {};
    EXPECT_EQ(0, stat(sim.ptyPath().c_str(), &st));
    EXPECT_EQ(0, sim.stop());
    auto entries = sim.transcript().entries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_NE(std::string::npos, entries.front().text.find("dukpt=1111111111"));
    EXPECT_EQ("stop signal", entries.back().text);
}

TEST(TermsimProgram, RefusesABadCommandLineWithExitCode2) {
    TermsimProcess sim;
    EXPECT_FALSE(sim.startBinary(TERMSIM_BIN, {"--ms", "LLLLL"}));
    EXPECT_EQ(2, sim.exitCode());
    EXPECT_NE(std::string::npos, sim.error().find("--ms"));

    auto help = testsupport::runProcess({TERMSIM_BIN, "--help"});
    EXPECT_EQ(0, help.exitCode);
    EXPECT_NE(std::string::npos, help.out.find("--fault RULE"));
}

TEST(TermsimProgram, LinkNamesTheSlaveAndGoesAwayAfterwards) {
    testsupport::TempDir dir;
    std::string link = dir.file("com1");
    {
        TermsimProcess sim({"--link", link});
        ASSERT_TRUE(sim.ready()) << sim.error();
        EXPECT_EQ(link, sim.linkPath());
        char target[256] = {0};
        ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
        EXPECT_EQ(sim.ptyPath(), std::string(target));
        sim.stop();
    }
    struct stat st {};
    EXPECT_NE(0, lstat(link.c_str(), &st));
}

TEST(TermsimProgram, EndsByItselfWhenIdle) {
    TermsimProcess sim({"--transport", "tcp", "--exit-after-idle", "1"});
    ASSERT_TRUE(sim.ready()) << sim.error();
    EXPECT_GT(sim.tcpPort(), 0);
    ASSERT_TRUE(sim.waitExit(10000));
    EXPECT_EQ(0, sim.exitCode());
    EXPECT_EQ("stop idle", sim.transcript().entries().back().text);
}

TEST(TermsimProgram, RecordingPlaysBackAndAMismatchFailsTheReplay) {
    testsupport::TempDir dir;
    std::string recording = dir.file("session.rec");
    {
        TermsimProcess sim({"--transport", "tcp", "--record", recording, "--fault", "fetch:*=split:2:20ms"});
        ASSERT_TRUE(sim.ready()) << sim.error();
        ASSERT_NO_FATAL_FAILURE(exchangeFollowUpAndFetch(sim.tcpPort()));
        ASSERT_TRUE(sim.waitForTranscript([](const testsupport::TermsimTranscript& t) {
            std::vector<std::string> events = t.textOf("EV");
            return std::find(events.begin(), events.end(), "disconnect peer") != events.end();
        }));
        EXPECT_EQ(0, sim.stop());
    }
    {
        TermsimProcess replay({"--transport", "tcp", "--replay", recording});
        ASSERT_TRUE(replay.ready()) << replay.error();
        ASSERT_NO_FATAL_FAILURE(exchangeFollowUpAndFetch(replay.tcpPort()));
        EXPECT_EQ(0, replay.stop());
        auto t = replay.transcript();
        EXPECT_TRUE(t.errors().empty());
        EXPECT_EQ(3u, t.withTag("TX").size());  // the split was replayed as recorded
        EXPECT_EQ(std::vector<std::string>({"Q", "fetch"}), t.commandClasses());
    }
    {
        TermsimProcess replay({"--transport", "tcp", "--replay", recording});
        ASSERT_TRUE(replay.ready()) << replay.error();
        int fd = connectLoopback(replay.tcpPort());
        ASSERT_GE(fd, 0);
        EXPECT_EQ(hex("05 05 61 00 61"), exchange(fd, hex("05 05 62 72 10"), 5));
        close(fd);
        EXPECT_EQ(3, replay.stop());
        auto errors = replay.transcript().errors();
        ASSERT_EQ(2u, errors.size());
        EXPECT_NE(std::string::npos, errors[0].find("expected 05 05 61 51 30, got 05 05 62 72 10"));
        EXPECT_NE(std::string::npos, errors[1].find("not played"));
    }
}

// A second server on a socket that a running one serves, a path that is no socket, or a
// transcript or recording that takes no bytes: refused with the reason before READY, and
// the first server and the file stay as they were.
TEST(TermsimProgram, RefusesToStartWhereItWouldTakeOverOrLoseItsRecord) {
    testsupport::TempDir dir("termsim-refusals");
    const std::string served = dir.file("served.sock"), plain = dir.file("plain");
    ASSERT_TRUE(testsupport::writeTextFile(plain, "keep me"));
    TermsimProcess first({"--transport", "hid", "--socket", served});
    ASSERT_TRUE(first.ready()) << first.error();
    TermsimProcess firstUsbio({"--transport", "usbio", "--usbio-socket", dir.file("usbio.sock")});
    ASSERT_TRUE(firstUsbio.ready()) << firstUsbio.error();

    const struct {
        std::vector<std::string> args;
        const char* error;
    } rows[] = {
        {{"--transport", "hid", "--socket", served}, "another server listens on "},
        {{"--transport", "usbio", "--usbio-socket", dir.file("usbio.sock")}, "another server listens on "},
        {{"--transport", "hid", "--socket", plain}, "not a socket, left alone: "},
        {{"--transport", "usbio", "--usbio-socket", plain}, "not a socket, left alone: "},
        {{"--transcript", "/dev/full"}, "cannot write /dev/full: No space left on device"},
        {{"--record", "/dev/full"}, "cannot write /dev/full: No space left on device"},
    };
    for (const auto& row : rows) {
        TermsimProcess sim;
        EXPECT_FALSE(sim.startBinary(TERMSIM_BIN, row.args)) << row.args[1];
        EXPECT_EQ(1, sim.exitCode()) << row.args[1];
        EXPECT_NE(std::string::npos, sim.error().find(row.error)) << sim.error();
    }
    EXPECT_EQ("keep me", testsupport::readTextFile(plain));
    EXPECT_EQ(0, first.stop());
    EXPECT_EQ(0, firstUsbio.stop());
}
