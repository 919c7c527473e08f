// The HID port against termsim's virtual HID terminal.
//
//   hid_port_bench [exchanges] [runs] [keyprobe] [termsim]
//
// First one key-test exchange (a 37-byte request out in one report, the 5-byte reply in
// one report back) through CCOMHIDUSBPort and the platform's virtual HID backend, next to
// the same reports written and read as plain messages on the socket of a second,
// identical termsim device (each device copies its input reports to every connection
// that has it open, so the two paths must not share one): both medians and their ratio. Then whole key checks over "USB Device", each keyprobe its
// own process: wall time, time beyond the run's fixed pauses (20 slots x 2 x 250 ms) and
// the CPU time keyprobe used.
#include <COMHIDUSBPort.h>

#include "virtual_device_protocol.h"

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

const double kPausesMs = 20 * 2 * 250.0;
const BYTE kKeyTest[37] = {0x05, 0x25, 0x61, 0x20, 0x01, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37,
                           0x38, 0x39, 0x00, 0x00, 0x54, 0x65, 0x73, 0x74, 0x69, 0x6E, 0x67, 0x2E, 0x2E,
                           0x2E, 0xFF, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0xE6};

double NowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

double Ms(const timeval& tv) { return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0; }

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

std::string BuildDir() {
    char szPath[PATH_MAX] = {0};
    ssize_t n = readlink("/proc/self/exe", szPath, sizeof(szPath) - 1);
    std::string path = n > 0 ? std::string(szPath, static_cast<size_t>(n)) : std::string(".");
    path = path.substr(0, path.rfind('/'));
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

// Starts termsim's virtual HID terminal; returns its socket path, empty on failure.
std::string StartTermsim(const std::string& termsim, const std::string& socketPath, pid_t* pPid) {
    int fds[2];
    if (pipe(fds) != 0)
        return "";
    *pPid = Spawn({termsim, "--transport", "hid", "--socket", socketPath, "--max-seconds", "3600"}, fds[1]);
    close(fds[1]);
    std::string line;
    const double deadline = NowUs() + 5e6;
    while (line.find('\n') == std::string::npos && NowUs() < deadline) {
        pollfd p = {fds[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buf[256];
        ssize_t n = read(fds[0], buf, sizeof(buf));
        if (n <= 0)
            break;
        line.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    return line.compare(0, 10, "READY hid ") == 0 ? socketPath : "";
}

bool SendMessage(int fd, uint16_t type, const BYTE* payload, uint32_t length) {
    BYTE message[sizeof(vdev_header) + 128];
    vdev_header header;
    memset(&header, 0, sizeof(header));
    header.type = type;
    header.tag = 1;
    header.length = length;
    memcpy(message, &header, sizeof(header));
    memcpy(message + sizeof(header), payload, length);
    return send(fd, message, sizeof(header) + length, MSG_NOSIGNAL) == (ssize_t)(sizeof(header) + length);
}

// A plain connection with the device open, or -1.
int OpenPlain(const std::string& socketPath) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    sockaddr_un a;
    memset(&a, 0, sizeof(a));
    a.sun_family = AF_UNIX;
    strncpy(a.sun_path, socketPath.c_str(), sizeof(a.sun_path) - 1);
    BYTE reply[sizeof(vdev_header) + VDEV_MAX_PAYLOAD];
    if (connect(fd, (sockaddr*)&a, sizeof(a)) != 0 || !SendMessage(fd, VDEV_MSG_OPEN, NULL, 0) ||
        recv(fd, reply, sizeof(reply), 0) < (ssize_t)sizeof(vdev_header)) {
        close(fd);
        return -1;
    }
    return fd;
}

}  // namespace

int main(int argc, char* argv[]) {
    const int nExchanges = argc > 1 ? atoi(argv[1]) : 2000;
    const int nRuns = argc > 2 ? atoi(argv[2]) : 3;
    const std::string build = BuildDir();
    const std::string keyprobe = argc > 3 ? argv[3] : build + "/app/keyprobe";
    const std::string termsim = argc > 4 ? argv[4] : build + "/tools/termsim/termsim";

    char szDir[] = "/tmp/hid-port-bench-XXXXXX";
    if (mkdtemp(szDir) == nullptr)
        return 1;
    pid_t simPid = -1, plainSimPid = -1;
    const std::string socketPath = StartTermsim(termsim, std::string(szDir) + "/hid.sock", &simPid);
    const std::string plainPath = StartTermsim(termsim, std::string(szDir) + "/plain.sock", &plainSimPid);
    if (socketPath.empty() || plainPath.empty()) {
        fprintf(stderr, "termsim did not start (%s)\n", termsim.c_str());
        for (pid_t pid : {simPid, plainSimPid})
            if (pid > 0)
                kill(pid, SIGKILL);
        return 1;
    }
    setenv(VDEV_ENV_HID, socketPath.c_str(), 1);

    int status = 0;
    {
        CCOMHIDUSBPort port(NULL, 4096);
        int plain = OpenPlain(plainPath);
        if (!port.OpenPort() || plain < 0) {
            fprintf(stderr, "cannot open the virtual device (port %d, plain %d)\n", (int)port.IsOpen(),
                    plain);
            status = 1;
        } else {
            port.m_ReadWriteTimeout = 60000;
            BYTE got[4096];
            BYTE report[65];
            memset(report, 0, sizeof(report));
            report[0] = 2;
            report[1] = sizeof(kKeyTest);
            memcpy(report + 2, kKeyTest, sizeof(kKeyTest));
            auto viaPort = [&]() -> bool {
                DWORD n = sizeof(kKeyTest);
                if (!port.Write(kKeyTest, n, &n))
                    return false;
                n = 5;
                return port.Read(got, sizeof(got), &n) && n == 5;
            };
            auto viaPlain = [&]() -> bool {
                if (!SendMessage(plain, VDEV_MSG_HID_OUTPUT_REPORT, report, sizeof(report)))
                    return false;
                return recv(plain, got, sizeof(got), 0) == (ssize_t)(sizeof(vdev_header) + 65);
            };
            std::vector<double> portUs, plainUs;
            for (int i = 0; i < nExchanges + 100 && status == 0; ++i) {
                for (int pass = 0; pass < 2; ++pass) {
                    const bool bPort = (pass == 0) == (i % 2 == 0);
                    double t0 = NowUs();
                    bool ok = bPort ? viaPort() : viaPlain();
                    double t1 = NowUs();
                    if (!ok) {
                        fprintf(stderr, "exchange failed (%s)\n", bPort ? "port" : "plain");
                        status = 1;
                        break;
                    }
                    if (i >= 100)
                        (bPort ? portUs : plainUs).push_back(t1 - t0);
                }
            }
            if (status == 0) {
                const double portMedian = Median(portUs), plainMedian = Median(plainUs);
                printf("exchanges per path:                 %zu\n", portUs.size());
                printf("CCOMHIDUSBPort write 37 + read 5:   %.1f us (median)\n", portMedian);
                printf("plain reports on the device socket: %.1f us (median)\n", plainMedian);
                printf("ratio:                              %.2f (goal: at most 1.5)\n",
                       portMedian / plainMedian);
            }
        }
        if (plain >= 0)
            close(plain);
        port.ClosePort();
    }

    const std::string ini = std::string(szDir) + "/terminal.ini";
    const std::string keys = std::string(szDir) + "/keys.txt";
    FILE* f = fopen(ini.c_str(), "wb");
    fprintf(f, "[Connection]\r\nConnectType=USB Device\r\n");
    fclose(f);
    printf("run  exit  wall ms  beyond pauses ms  user ms  sys ms\n");
    std::vector<double> walls, cpus;
    for (int i = 0; i < nRuns; ++i) {
        const double start = NowUs();
        pid_t pid = Spawn({keyprobe, ini, keys}, -1);
        int wstatus = 0;
        rusage usage;
        memset(&usage, 0, sizeof(usage));
        wait4(pid, &wstatus, 0, &usage);
        const double wall = (NowUs() - start) / 1000.0;
        const int code = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
        if (code != 0)
            status = 1;
        walls.push_back(wall);
        cpus.push_back(Ms(usage.ru_utime) + Ms(usage.ru_stime));
        printf("%3d  %4d  %7.0f  %16.0f  %7.1f  %6.1f\n", i + 1, code, wall, wall - kPausesMs,
               Ms(usage.ru_utime), Ms(usage.ru_stime));
    }
    if (!walls.empty())
        printf("median: wall %.0f ms (%.0f ms beyond the pauses), CPU %.1f ms\n", Median(walls),
               Median(walls) - kPausesMs, Median(cpus));

    for (pid_t pid : {simPid, plainSimPid}) {
        kill(pid, SIGTERM);
        waitpid(pid, nullptr, 0);
    }
    unlink(ini.c_str());
    unlink(keys.c_str());
    unlink(socketPath.c_str());
    unlink(plainPath.c_str());
    rmdir(szDir);
    return status;
}
