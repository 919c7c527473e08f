// The virtual HID terminal, driven from the platform's side of the message protocol with
// messages written out here by hand.
#include "HidTransport.h"
#include "Session.h"
#include "TempFiles.h"
#include "TermsimProcess.h"
#include "virtual_device_protocol.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <thread>

using namespace termsim;
using testsupport::ByteVec;
using testsupport::hex;
using testsupport::TermsimTranscript;

namespace {

struct Message {
    vdev_header header{};
    ByteVec payload;
};

class Client {
public:
    explicit Client(const std::string& path) {
        m_fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
        if (connect(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close(m_fd);
            m_fd = -1;
        }
    }
    ~Client() {
        if (m_fd >= 0)
            close(m_fd);
    }
    bool ok() const { return m_fd >= 0; }
    void send(std::uint16_t type, std::uint32_t tag, const ByteVec& payload = {}) {
        ByteVec m(sizeof(vdev_header) + payload.size());
        vdev_header h{};
        h.type = type;
        h.tag = tag;
        h.length = static_cast<std::uint32_t>(payload.size());
        std::memcpy(m.data(), &h, sizeof h);
        if (!payload.empty())
            std::memcpy(m.data() + sizeof h, payload.data(), payload.size());
        ASSERT_EQ(static_cast<ssize_t>(m.size()), ::send(m_fd, m.data(), m.size(), MSG_NOSIGNAL));
    }
    // The next message; type 0 after a hang-up or when none came in time.
    Message receive(int timeoutMs = 3000) {
        Message m;
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0)
            return m;
        std::uint8_t buffer[sizeof(vdev_header) + VDEV_MAX_PAYLOAD];
        ssize_t n = recv(m_fd, buffer, sizeof buffer, 0);
        if (n < static_cast<ssize_t>(sizeof(vdev_header)))
            return m;
        std::memcpy(&m.header, buffer, sizeof m.header);
        m.payload.assign(buffer + sizeof m.header, buffer + n);
        return m;
    }

private:
    int m_fd = -1;
};

// A report as the device takes it: ID 2, count, payload, zero fill to 65 bytes.
ByteVec outputReport(const ByteVec& payload) {
    ByteVec r(65, 0);
    r[0] = 2;
    r[1] = static_cast<std::uint8_t>(payload.size());
    std::copy(payload.begin(), payload.end(), r.begin() + 2);
    return r;
}

class RunningHidSession {
public:
    explicit RunningHidSession(const std::vector<std::string>& args) {
        std::string error;
        std::vector<std::string> all = {"--transport", "hid", "--socket", m_dir.file("hid.sock")};
        all.insert(all.end(), args.begin(), args.end());
        EXPECT_EQ(ParseOutcome::Run, parseCommandLine(all, m_options, error)) << error;
        EXPECT_TRUE(m_transcript.open(m_dir.file("t.log"), false, error)) << error;
        m_transport.reset(new HidTransport(m_options.hid, m_options.socketPath, m_transcript));
        EXPECT_TRUE(m_transport->open(error)) << error;
        m_session.reset(new Session(m_options, *m_transport, m_transcript, nullptr));
        EXPECT_TRUE(m_session->prepare(error)) << error;
        m_thread = std::thread([this] { m_session->run(); });
    }
    ~RunningHidSession() {
        m_session->requestStop();
        m_thread.join();
    }
    std::string socketPath() const { return m_options.socketPath; }
    TermsimTranscript transcript() const { return TermsimTranscript::load(m_dir.file("t.log")); }

private:
    testsupport::TempDir m_dir;
    Options m_options;
    Transcript m_transcript;
    std::unique_ptr<HidTransport> m_transport;
    std::unique_ptr<Session> m_session;
    std::thread m_thread;
};

}  // namespace

TEST(TermsimHidDevice, DescriptorGivesTheReportLengthsWindowsCounts) {
    HidDeviceShape numbered;
    EXPECT_EQ(hex("06 00 FF 09 01 A1 01 "
                  "85 01 09 02 15 00 26 FF 00 75 08 96 40 00 81 02 "
                  "85 02 09 03 15 00 26 FF 00 75 08 96 40 00 91 02 C0"),
              vdev::buildReportDescriptor(numbered));
    HidDeviceShape unnumbered;
    unnumbered.numbered = false;
    unnumbered.inputLength = 33;
    unnumbered.outputLength = 257;
    EXPECT_EQ(hex("06 00 FF 09 01 A1 01 "
                  "09 02 15 00 26 FF 00 75 08 96 20 00 81 02 "
                  "09 03 15 00 26 FF 00 75 08 96 00 01 91 02 C0"),
              vdev::buildReportDescriptor(unnumbered));
}

TEST(TermsimHidDevice, ListOpenAndOneKeyTestInReports) {
    RunningHidSession session({"--usb-id", "1209:0005", "--ms", "L8LLLLLLLL"});
    Client lister(session.socketPath());
    ASSERT_TRUE(lister.ok());
    lister.send(VDEV_MSG_LIST, 7);
    Message entry = lister.receive();
    ASSERT_EQ(VDEV_MSG_DEVICE_ENTRY, entry.header.type);
    EXPECT_EQ(7u, entry.header.tag);
    EXPECT_EQ(VDEV_MSG_LIST_END, lister.receive().header.type);
    lister.send(VDEV_MSG_HID_GET_IDENTITY, 8);
    Message identity = lister.receive();
    ASSERT_EQ(VDEV_MSG_HID_IDENTITY, identity.header.type);
    vdev_hid_identity id{};
    ASSERT_EQ(sizeof id, identity.payload.size());
    std::memcpy(&id, identity.payload.data(), sizeof id);
    EXPECT_EQ(0x1209, id.vendor_id);
    EXPECT_EQ(0x0005, id.product_id);

    Client device(session.socketPath());
    device.send(VDEV_MSG_OPEN, 9);
    ASSERT_EQ(VDEV_MSG_OPENED, device.receive().header.type);
    // The 'a' request of slot 1 cut into two reports, then the fetch.
    ByteVec request =
        hex("05 25 61 20 01 30 31 32 33 34 35 36 37 38 39 00 00 54 65 73 74 69 6E 67 2E 2E 2E FF "
            "30 30 30 30 30 30 30 30 E6");
    device.send(VDEV_MSG_HID_OUTPUT_REPORT, 10, outputReport(ByteVec(request.begin(), request.begin() + 20)));
    device.send(VDEV_MSG_HID_OUTPUT_REPORT, 11, outputReport(ByteVec(request.begin() + 20, request.end())));
    // Each report is taken as it comes.
    for (std::uint32_t tag : {10u, 11u}) {
        const Message taken = device.receive();
        EXPECT_EQ(VDEV_MSG_HID_OUTPUT_TAKEN, taken.header.type);
        EXPECT_EQ(tag, taken.header.tag);
    }
    Message reply = device.receive();
    ASSERT_EQ(VDEV_MSG_HID_INPUT_REPORT, reply.header.type);
    ByteVec expected(65, 0);
    ByteVec head = hex("01 05 05 05 61 00 61");
    std::copy(head.begin(), head.end(), expected.begin());
    EXPECT_EQ(expected, reply.payload);
    device.send(VDEV_MSG_HID_OUTPUT_REPORT, 12, outputReport(hex("05 04 16 17")));
    EXPECT_EQ(VDEV_MSG_HID_OUTPUT_TAKEN, device.receive().header.type);
    reply = device.receive();
    ASSERT_EQ(VDEV_MSG_HID_INPUT_REPORT, reply.header.type);
    EXPECT_EQ(hex("01 05 05 05 16 F8 EE"), ByteVec(reply.payload.begin(), reply.payload.begin() + 7));

    TermsimTranscript t = session.transcript();
    EXPECT_TRUE(t.errors().empty());
    EXPECT_EQ(std::vector<std::string>({"a", "fetch"}), t.commandClasses());
    EXPECT_EQ(3u, t.bytesOf("RXR").size());
    EXPECT_EQ(2u, t.bytesOf("TXR").size());
}

TEST(TermsimHidDevice, UnplugAfterFramesHangsUpAndPlugsInAgain) {
    RunningHidSession session({"--unplug-after-frames", "1", "--replug-after", "100ms"});
    Client watcher(session.socketPath());
    watcher.send(VDEV_MSG_WATCH, 1);
    ASSERT_EQ(VDEV_MSG_WATCHING, watcher.receive().header.type);
    Client device(session.socketPath());
    device.send(VDEV_MSG_OPEN, 2);
    ASSERT_EQ(VDEV_MSG_OPENED, device.receive().header.type);
    device.send(VDEV_MSG_HID_OUTPUT_REPORT, 3, outputReport(hex("05 04 16 17")));
    EXPECT_EQ(VDEV_MSG_HID_OUTPUT_TAKEN, device.receive().header.type);
    EXPECT_EQ(VDEV_MSG_HID_INPUT_REPORT, device.receive().header.type);
    // The next request is taken but gets no reply: the device connection is hung up, and
    // while unplugged the device can be neither listed nor opened.
    device.send(VDEV_MSG_HID_OUTPUT_REPORT, 4, outputReport(hex("05 04 16 17")));
    EXPECT_EQ(VDEV_MSG_HID_OUTPUT_TAKEN, device.receive().header.type);
    EXPECT_EQ(0, device.receive().header.type);
    EXPECT_EQ(VDEV_MSG_UNPLUGGED, watcher.receive().header.type);
    Client again(session.socketPath());
    again.send(VDEV_MSG_LIST, 3);
    EXPECT_EQ(VDEV_MSG_LIST_END, again.receive().header.type);
    EXPECT_EQ(VDEV_MSG_PLUGGED, watcher.receive().header.type);
    again.send(VDEV_MSG_OPEN, 4);
    EXPECT_EQ(VDEV_MSG_OPENED, again.receive().header.type);
}

// A reply of far more reports than a socket holds, to a client that reads none of them
// until the device has handed them all out: the device keeps what the socket does not take
// and sends it on as the client reads. The connection stays up and the next request is
// answered.
TEST(TermsimHidDevice, AClientThatReadsLateGetsAWholeLongReplyAndStaysConnected) {
    RunningHidSession session({"--fault", "*:#1=pad:65000"});
    Client device(session.socketPath());
    device.send(VDEV_MSG_OPEN, 1);
    ASSERT_EQ(VDEV_MSG_OPENED, device.receive().header.type);
    device.send(VDEV_MSG_HID_OUTPUT_REPORT, 2, outputReport(hex("05 04 16 17")));
    std::size_t reports = 0;
    for (int i = 0; i < 3000 && reports < 1032; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        reports = session.transcript().bytesOf("TXR").size();
    }
    ASSERT_EQ(1032u, reports) << "65,006 bytes in reports of 63";

    EXPECT_EQ(VDEV_MSG_HID_OUTPUT_TAKEN, device.receive().header.type);
    ByteVec reply;
    for (std::size_t i = 0; i < reports; ++i) {
        const Message m = device.receive();
        ASSERT_EQ(VDEV_MSG_HID_INPUT_REPORT, m.header.type) << "report " << i;
        ASSERT_EQ(65u, m.payload.size());
        reply.insert(reply.end(), m.payload.begin() + 2, m.payload.begin() + 2 + m.payload[1]);
    }
    device.send(VDEV_MSG_HID_OUTPUT_REPORT, 3, outputReport(hex("05 04 16 17")));
    EXPECT_EQ(VDEV_MSG_HID_OUTPUT_TAKEN, device.receive().header.type);
    const Message next = device.receive();
    ASSERT_EQ(VDEV_MSG_HID_INPUT_REPORT, next.header.type);

    const TermsimTranscript t = session.transcript();
    ASSERT_EQ(2u, t.txFrames().size());
    EXPECT_EQ(t.txFrames()[0], reply);
    EXPECT_EQ(t.txFrames()[1], ByteVec(next.payload.begin() + 2, next.payload.begin() + 2 + next.payload[1]));
    for (const auto& e : t.withTag("EV"))
        EXPECT_EQ(std::string::npos, e.text.find("disconnect")) << e.text;
}
