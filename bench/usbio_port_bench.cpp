// One key-test exchange through CUSBPort against termsim's virtual USB device (served in
// this process, answering each request at once), next to the same packets moved over a
// plain socket pair: the transfer messages the virtual device protocol carries for that
// exchange (an OUT transfer of the 37-byte request and its completion, an IN transfer and
// its completion with the 12-byte reply), sent and answered by a thread that does nothing
// else. Prints both medians and their ratio.
//
//   usbio_port_bench [rounds] [exchanges-per-round]
//   usbio_port_bench --run [runs]
//
// With --run it times whole key checks instead: keyprobe (beside this program's build
// folder) against termsim's virtual USB device answering at once, each run its own process,
// with the wall time beyond the run's fixed pauses (20 slots x 2 x 250 ms) and the CPU time
// keyprobe used.
#include <USBPort.h>

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "UsbioTransport.h"
#include "virtual_device_protocol.h"

namespace {

const BYTE kReply[12] = {0x05, 0x0C, 'a', 0x00, 1, 2, 3, 4, 5, 6, 7, 0};
const size_t kRequestSize = 37;

double NowUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

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
    bool Start() {
        termsim::UsbioOptions options;
        options.socketPath = "/tmp/usbio-port-bench-" + std::to_string(getpid()) + ".sock";
        m_device.reset(new termsim::UsbioTransport(options));
        std::string error;
        if (!m_device->open(error)) {
            fprintf(stderr, "virtual device: %s\n", error.c_str());
            return false;
        }
        setenv("IOCLASSLIB_VIRTUAL_USBIO", m_device->socketPath().c_str(), 1);
        m_thread = std::thread([this] { Run(); });
        return true;
    }
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

// The peer of the plain pair: completes each OUT transfer and answers each IN transfer
// with the reply, as the device does, and nothing more.
void PlainPeer(int fd) {
    BYTE message[sizeof(vdev_header) + VDEV_MAX_PAYLOAD];
    for (;;) {
        pollfd p = {fd, POLLIN, 0};
        poll(&p, 1, -1);
        const ssize_t n = recv(fd, message, sizeof(message), 0);
        if (n < (ssize_t)(sizeof(vdev_header) + sizeof(vdev_usbio_transfer)))
            return;
        vdev_header header;
        vdev_usbio_transfer transfer;
        memcpy(&header, message, sizeof(header));
        memcpy(&transfer, message + sizeof(header), sizeof(transfer));
        if (transfer.endpoint & 0x80)
            SendMessage(fd, VDEV_MSG_USBIO_TRANSFER_DONE, header.tag, transfer.endpoint, sizeof(kReply),
                        kReply, sizeof(kReply));
        else
            SendMessage(fd, VDEV_MSG_USBIO_TRANSFER_DONE, header.tag, transfer.endpoint, transfer.length,
                        NULL, 0);
    }
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

std::string BuildDir() {
    char szPath[PATH_MAX] = {0};
    ssize_t n = readlink("/proc/self/exe", szPath, sizeof(szPath) - 1);
    std::string path = n > 0 ? std::string(szPath, (size_t)n) : std::string(".");
    path = path.substr(0, path.rfind('/'));  // .../bench
    return path.substr(0, path.rfind('/'));
}

pid_t Spawn(const std::vector<std::string>& args, int stdoutFd) {
    pid_t pid = fork();
    if (pid != 0)
        return pid;
    int nul = open("/dev/null", O_RDWR);
    dup2(nul, 0);
    dup2(stdoutFd >= 0 ? stdoutFd : nul, 1);
    dup2(nul, 2);
    std::vector<char*> argv;
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    _exit(127);
}

double Ms(const timeval& tv) { return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0; }

int WholeRuns(int nRuns) {
    const std::string build = BuildDir();
    int fds[2];
    if (pipe(fds) != 0)
        return 1;
    const pid_t sim =
        Spawn({build + "/tools/termsim/termsim", "--transport", "usbio", "--max-seconds", "3600"}, fds[1]);
    close(fds[1]);
    char line[512] = {0};
    size_t got = 0;
    const double deadline = NowUs() + 5e6;
    while (strchr(line, '\n') == NULL && got + 1 < sizeof(line) && NowUs() < deadline) {
        pollfd p = {fds[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        ssize_t n = read(fds[0], line + got, sizeof(line) - 1 - got);
        if (n <= 0)
            break;
        got += (size_t)n;
    }
    close(fds[0]);
    char socketPath[400] = {0};
    if (sscanf(line, "READY usbio %399s", socketPath) != 1) {
        fprintf(stderr, "termsim did not start\n");
        kill(sim, SIGTERM);
        waitpid(sim, nullptr, 0);
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

    const double kPausesMs = 20 * 2 * 250.0;
    printf("run  exit  wall ms  beyond pauses ms  user ms  sys ms\n");
    std::vector<double> walls, cpus;
    int status = 0;
    for (int i = 0; i < nRuns; ++i) {
        const double start = NowUs();
        const pid_t pid = Spawn({build + "/app/keyprobe", ini, keys}, -1);
        int wstatus = 0;
        rusage usage;
        memset(&usage, 0, sizeof(usage));
        wait4(pid, &wstatus, 0, &usage);
        const double wall = (NowUs() - start) / 1000.0;
        const int code = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
        status |= code != 0;
        walls.push_back(wall);
        cpus.push_back(Ms(usage.ru_utime) + Ms(usage.ru_stime));
        printf("%3d  %4d  %7.0f  %16.1f  %7.1f  %6.1f\n", i + 1, code, wall, wall - kPausesMs,
               Ms(usage.ru_utime), Ms(usage.ru_stime));
    }
    printf("median: wall %.0f ms (%.1f ms beyond the pauses), CPU %.1f ms\n", Median(walls),
           Median(walls) - kPausesMs, Median(cpus));
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

    Responder responder;
    if (!responder.Start())
        return 1;
    CUSBPort port(NULL);
    if (!port.OpenPort()) {
        fprintf(stderr, "CUSBPort did not open the virtual device\n");
        responder.Stop();
        return 1;
    }

    int pair[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET, 0, pair) != 0)
        return 1;
    std::thread peer(PlainPeer, pair[1]);
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
            if (!PlainExchange(pair[0], request, tag))
                ++failures;
        }
        plain.push_back((NowUs() - start) / nExchanges);
    }
    shutdown(pair[0], SHUT_RDWR);
    close(pair[0]);
    peer.join();
    close(pair[1]);
    port.ClosePort();
    responder.Stop();

    const double u = Median(usbio), p = Median(plain);
    printf("exchange through CUSBPort (virtual device): %.1f us\n", u);
    printf("same packets on a socket pair:              %.1f us\n", p);
    printf("ratio: %.2f (goal <= 1.5)%s\n", u / p, failures ? "  FAILURES" : "");
    return failures ? 1 : 0;
}
