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
// the CPU time keyprobe used. The exchanges and termsim run on one CPU unless BENCH_PIN=0
// (bench::PinToOneCpu says why); keyprobe may use every CPU.
#include <COMHIDUSBPort.h>

#include "virtual_device_protocol.h"

#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "BenchProcess.h"

namespace {

using bench::Median;
using bench::NowUs;

const BYTE kKeyTest[37] = {0x05, 0x25, 0x61, 0x20, 0x01, 0x30, 0x31, 0x32, 0x33, 0x34, 0x35, 0x36, 0x37,
                           0x38, 0x39, 0x00, 0x00, 0x54, 0x65, 0x73, 0x74, 0x69, 0x6E, 0x67, 0x2E, 0x2E,
                           0x2E, 0xFF, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0x30, 0xE6};

// Starts termsim's virtual HID terminal; returns its socket path, empty on failure.
std::string StartHidTermsim(const std::string& termsim, const std::string& socketPath, pid_t* pPid) {
    const std::string line = bench::StartTermsim(
        {termsim, "--transport", "hid", "--socket", socketPath, "--max-seconds", "3600"}, pPid);
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
    const int nExchanges = argc > 1 && atoi(argv[1]) > 0 ? atoi(argv[1]) : 2000;
    const int nRuns = argc > 2 ? atoi(argv[2]) : 3;
    const std::string build = bench::BuildDir();
    const std::string keyprobe = argc > 3 ? argv[3] : build + "/app/keyprobe";
    const std::string termsim = argc > 4 ? argv[4] : build + "/tools/termsim/termsim";

    char szDir[] = "/tmp/hid-port-bench-XXXXXX";
    if (mkdtemp(szDir) == nullptr)
        return 1;
    bench::PinToOneCpu();
    pid_t simPid = -1, plainSimPid = -1;
    const std::string socketPath = StartHidTermsim(termsim, std::string(szDir) + "/hid.sock", &simPid);
    const std::string plainPath = StartHidTermsim(termsim, std::string(szDir) + "/plain.sock", &plainSimPid);
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
                // The device's word that it took the report, then the reply.
                return recv(plain, got, sizeof(got), 0) == (ssize_t)sizeof(vdev_header) &&
                       recv(plain, got, sizeof(got), 0) == (ssize_t)(sizeof(vdev_header) + 65);
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
                printf("ratio:                              %.2f\n", portMedian / plainMedian);
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
    bench::UnpinFromOneCpu();  // keyprobe runs as it would for a user; termsim stays put
    if (bench::TimeKeyChecks(keyprobe, ini, keys, nRuns, 0) != 0)
        status = 1;

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
