// One key-test exchange through CUSBPort against termsim's virtual USB device (served in
// this process, answering each request at once), next to the same packets written and read
// as plain messages on the socket of a second, identical device: the transfer messages the
// virtual device protocol carries for that exchange (an OUT transfer of the 37-byte request
// and its completion, an IN transfer and its completion with the 12-byte reply). Both paths
// meet the same device code, so the ratio is what the library adds. Prints both medians
// and their ratio. The exchanges run on one CPU unless BENCH_PIN=0 (bench::PinToOneCpu
// says why).
//
//   usbio_port_bench [rounds] [exchanges-per-round]
//   usbio_port_bench --run [runs]
//
// With --run it times whole key checks instead: keyprobe (beside this program's build
// folder) against termsim's virtual USB device answering at once, each run its own process,
// with the wall time beyond the run's fixed pauses (20 slots x 2 x 250 ms) and the CPU time
// keyprobe used.
#include <USBPort.h>

#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchProcess.h"
#include "UsbioTransport.h"
#include "virtual_device_protocol.h"

namespace {

const BYTE kReply[12] = {0x05, 0x0C, 'a', 0x00, 1, 2, 3, 4, 5, 6, 7, 0};
const size_t kRequestSize = 37;

using bench::Median;
using bench::NowUs;

std::vector<BYTE> Request() {
    std::vector<BYTE> r(kRequestSize);
    for (size_t i = 0; i < r.size(); ++i)
        r[i] = (BYTE)(0x30 + i);
    r[0] = 0x05;
    r[1] = (BYTE)kRequestSize;
    return r;
}

// The virtual device, answering every whole request with the reply.
class Responder {
public:
    // The device CUSBPort finds is the one started with bForPort.
    bool Start(const char* pszName, bool bForPort) {
        termsim::UsbioOptions options;
        options.socketPath = "/tmp/usbio-port-bench-" + std::to_string(getpid()) + "-" + pszName + ".sock";
        m_device.reset(new termsim::UsbioTransport(options));
        std::string error;
        if (!m_device->open(error)) {
            fprintf(stderr, "virtual device: %s\n", error.c_str());
            return false;
        }
        if (bForPort)
            setenv("IOCLASSLIB_VIRTUAL_USBIO", m_device->socketPath().c_str(), 1);
        m_thread = std::thread([this] { Run(); });
        return true;
    }
    const std::string& SocketPath() const { return m_device->socketPath(); }
    void Stop() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }

private:
    void Run() {
        BYTE buffer[4096];
        size_t pending = 0;
        while (!m_stop) {
            pollfd p = {m_device->pollFd(), POLLIN, 0};
            poll(&p, 1, 20);
            std::string peer;
            m_device->accept(peer);
            size_t got = 0;
            while (m_device->read(buffer, sizeof(buffer), got) == termsim::Transport::ReadResult::Data) {
                pending += got;
                while (pending >= kRequestSize) {
                    pending -= kRequestSize;
                    m_device->write(kReply, sizeof(kReply));
                }
            }
        }
    }

    std::unique_ptr<termsim::UsbioTransport> m_device;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
};

bool SendMessage(int fd, uint16_t type, uint32_t tag, BYTE endpoint, uint32_t length, const BYTE* data,
                 size_t dataLength) {
    BYTE message[sizeof(vdev_header) + sizeof(vdev_usbio_transfer) + 64];
    vdev_header header = {};
    header.type = type;
    header.tag = tag;
    header.length = (uint32_t)(sizeof(vdev_usbio_transfer) + dataLength);
    vdev_usbio_transfer transfer = {};
    transfer.endpoint = endpoint;
    transfer.length = length;
    memcpy(message, &header, sizeof(header));
    memcpy(message + sizeof(header), &transfer, sizeof(transfer));
    if (dataLength > 0)
        memcpy(message + sizeof(header) + sizeof(transfer), data, dataLength);
    const size_t total = sizeof(header) + sizeof(transfer) + dataLength;
    return send(fd, message, total, 0) == (ssize_t)total;
}

// A plain connection with the device open and configured, or -1.
int OpenPlain(const std::string& socketPath) {
    const int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un address = {};
    address.sun_family = AF_UNIX;
    strncpy(address.sun_path, socketPath.c_str(), sizeof(address.sun_path) - 1);
    struct {
        vdev_header header;
        vdev_usbio_setup setup;
    } __attribute__((packed)) configure = {};
    configure.header.type = VDEV_MSG_USBIO_CONTROL;
    configure.header.tag = 2;
    configure.header.length = sizeof(configure.setup);
    configure.setup = {0x00, 0x09, 1, 0, 0};  // SET_CONFIGURATION 1
    vdev_header open = {};
    open.type = VDEV_MSG_OPEN;
    open.tag = 1;
    BYTE reply[sizeof(vdev_header) + VDEV_MAX_PAYLOAD];
    if (connect(fd, (sockaddr*)&address, sizeof(address)) != 0 ||
        send(fd, &open, sizeof(open), 0) != (ssize_t)sizeof(open) ||
        recv(fd, reply, sizeof(reply), 0) < (ssize_t)sizeof(vdev_header) ||
        send(fd, &configure, sizeof(configure), 0) != (ssize_t)sizeof(configure) ||
        recv(fd, reply, sizeof(reply), 0) < (ssize_t)sizeof(vdev_header)) {
        close(fd);
        return -1;
    }
    return fd;
}

bool PlainExchange(int fd, const std::vector<BYTE>& request, uint32_t& tag) {
    BYTE message[sizeof(vdev_header) + VDEV_MAX_PAYLOAD];
    if (!SendMessage(fd, VDEV_MSG_USBIO_TRANSFER, ++tag, 0x02, (uint32_t)request.size(), request.data(),
                     request.size()))
        return false;
    if (recv(fd, message, sizeof(message), 0) <= 0)
        return false;
    if (!SendMessage(fd, VDEV_MSG_USBIO_TRANSFER, ++tag, 0x83, 32, NULL, 0))
        return false;
    return recv(fd, message, sizeof(message), 0) ==
           (ssize_t)(sizeof(vdev_header) + sizeof(vdev_usbio_transfer) + sizeof(kReply));
}

int WholeRuns(int nRuns) {
    const std::string build = bench::BuildDir();
    pid_t sim = -1;
    const std::string line = bench::StartTermsim(
        {build + "/tools/termsim/termsim", "--transport", "usbio", "--max-seconds", "3600"}, &sim);
    char socketPath[400] = {0};
    if (sscanf(line.c_str(), "READY usbio %399s", socketPath) != 1) {
        fprintf(stderr, "termsim did not start\n");
        if (sim > 0) {
            kill(sim, SIGTERM);
            waitpid(sim, nullptr, 0);
        }
        return 1;
    }
    setenv("IOCLASSLIB_VIRTUAL_USBIO", socketPath, 1);
    char dir[] = "/tmp/usbio-run-bench-XXXXXX";
    if (mkdtemp(dir) == NULL)
        return 1;
    const std::string ini = std::string(dir) + "/terminal.ini", keys = std::string(dir) + "/keys.txt";
    FILE* f = fopen(ini.c_str(), "wb");
    fprintf(f, "[Connection]\r\nConnectType=USBIO Device\r\n");
    fclose(f);

    const int status = bench::TimeKeyChecks(build + "/app/keyprobe", ini, keys, nRuns, 1);
    kill(sim, SIGTERM);
    waitpid(sim, nullptr, 0);
    unlink(ini.c_str());
    unlink(keys.c_str());
    rmdir(dir);
    return status;
}

}  // namespace

int main(int argc, char* argv[]) {
    if (argc > 1 && strcmp(argv[1], "--run") == 0)
        return WholeRuns(argc > 2 ? atoi(argv[2]) : 3);
    const int nRounds = argc > 1 ? atoi(argv[1]) : 15;
    const int nExchanges = argc > 2 ? atoi(argv[2]) : 200;
    const std::vector<BYTE> request = Request();

    bench::PinToOneCpu();
    Responder responder, plainResponder;
    if (!responder.Start("port", true) || !plainResponder.Start("plain", false))
        return 1;
    CUSBPort port(NULL);
    const int plainFd = OpenPlain(plainResponder.SocketPath());
    if (!port.OpenPort() || plainFd < 0) {
        fprintf(stderr, "cannot open the virtual devices (port %d, plain %d)\n", (int)port.IsOpen(), plainFd);
        responder.Stop();
        plainResponder.Stop();
        return 1;
    }
    uint32_t tag = 0;

    std::vector<double> usbio, plain;
    int failures = 0;
    for (int round = 0; round < nRounds; ++round) {
        double start = NowUs();
        for (int i = 0; i < nExchanges; ++i) {
            DWORD dwLength = (DWORD)request.size();
            BYTE reply[1024];
            DWORD dwReply = sizeof(reply);
            if (!port.Write(request.data(), dwLength, &dwLength) ||
                !port.Read(reply, sizeof(reply), &dwReply) || dwReply != sizeof(kReply))
                ++failures;
        }
        usbio.push_back((NowUs() - start) / nExchanges);

        start = NowUs();
        for (int i = 0; i < nExchanges; ++i) {
            if (!PlainExchange(plainFd, request, tag))
                ++failures;
        }
        plain.push_back((NowUs() - start) / nExchanges);
    }
    close(plainFd);
    port.ClosePort();
    responder.Stop();
    plainResponder.Stop();

    const double u = Median(usbio), p = Median(plain);
    printf("exchange through CUSBPort (virtual device): %.1f us\n", u);
    printf("same packets on the device socket:          %.1f us\n", p);
    printf("ratio: %.2f%s\n", u / p, failures ? "  FAILURES" : "");
    return failures ? 1 : 0;
}
