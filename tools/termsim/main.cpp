// termsim: plays the terminal for keyprobe and the library's tests. See --help.
#include "HidTransport.h"
#include "Options.h"
#include "PtyTransport.h"
#include "Session.h"
#include "TcpTransport.h"
#include "UsbioTransport.h"
#include "Transcript.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace {

volatile int g_stopFd = -1;

extern "C" void onStopSignal(int) {
    int fd = g_stopFd;
    if (fd >= 0) {
        char c = 1;
        ssize_t n = write(fd, &c, 1);
        (void)n;
    }
}

}  // namespace

int main(int argc, char** argv) {
    using namespace termsim;
    std::vector<std::string> args(argv + 1, argv + argc);
    Options options;
    std::string error;
    switch (parseCommandLine(args, options, error)) {
    case ParseOutcome::Help: std::fputs(helpText().c_str(), stdout); return 0;
    case ParseOutcome::Error: std::fprintf(stderr, "termsim: %s\n", error.c_str()); return 2;
    case ParseOutcome::Run: break;
    }

    std::signal(SIGPIPE, SIG_IGN);

    Transcript transcript;
    if (!transcript.open(options.transcriptPath, false, error)) {
        std::fprintf(stderr, "termsim: %s\n", error.c_str());
        return 1;
    }
    Transcript record;
    if (!record.open(options.recordPath, true, error)) {
        std::fprintf(stderr, "termsim: %s\n", error.c_str());
        return 1;
    }
    record.comment("termsim recording: play back with --replay");

    std::unique_ptr<Transport> transport;
    if (options.transport == TransportKind::Tcp)
        transport.reset(new TcpTransport(options.tcpPort));
    else if (options.transport == TransportKind::Hid)
        transport.reset(new HidTransport(options.hid, options.socketPath, transcript));
    else if (options.transport == TransportKind::Usbio)
        transport.reset(new UsbioTransport(options.usbio));
    else
        transport.reset(new PtyTransport(options.linkPath));
    if (!transport->open(error)) {
        std::fprintf(stderr, "termsim: %s\n", error.c_str());
        return 1;
    }
    transcript.comment(std::string("termsim ") + transport->readyText());
    // A file that takes nothing (a full disk, /dev/full) would lose the whole session.
    for (const Transcript* file : {&transcript, &record}) {
        if (!file->error().empty()) {
            std::fprintf(stderr, "termsim: %s\n", file->error().c_str());
            return 1;
        }
    }

    Session session(options, *transport, transcript, options.recordPath.empty() ? nullptr : &record);
    if (!session.prepare(error)) {
        std::fprintf(stderr, "termsim: %s\n", error.c_str());
        return 1;
    }
    g_stopFd = session.stopFd();
    struct sigaction action;
    std::memset(&action, 0, sizeof action);
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);

    std::printf("READY %s\n", transport->readyText().c_str());
    std::fflush(stdout);

    int code = session.run();
    g_stopFd = -1;
    for (Transcript* file : {&transcript, &record}) {
        if (!file->close()) {
            std::fprintf(stderr, "termsim: %s; the session is not complete there\n", file->error().c_str());
            code = code == 0 ? 1 : code;
        }
    }
    return code;
}
