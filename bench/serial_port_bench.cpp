// One key-check exchange over a pseudo-terminal: a 37-byte request written and a 12-byte
// VLI reply read through CSerialPort, against the same bytes moved by plain write/read on
// the same pair, in one run. Prints both medians and their ratio, then the CPU time a
// read spends waiting for a silent terminal.
//
//   serial_port_bench [rounds] [exchanges-per-round]
#include <SerialPort.h>

#include <fcntl.h>
#include <poll.h>
#include <stdio.h>
#include <stdlib.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

namespace {

double NowUs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

double ThreadCpuUs() {
    struct timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

bool WriteAll(int fd, const BYTE* p, size_t n) {
    while (n > 0) {
        ssize_t k = write(fd, p, n);
        if (k <= 0)
            return false;
        p += k;
        n -= (size_t)k;
    }
    return true;
}

bool ReadAll(int fd, BYTE* p, size_t n) {
    while (n > 0) {
        ssize_t k = read(fd, p, n);
        if (k <= 0)
            return false;
        p += k;
        n -= (size_t)k;
    }
    return true;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

struct Pair {
    int master = -1;
    char slavePath[128] = {0};
};

bool OpenPair(Pair* pair) {
    pair->master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    return pair->master >= 0 && grantpt(pair->master) == 0 && unlockpt(pair->master) == 0 &&
           ptsname_r(pair->master, pair->slavePath, sizeof(pair->slavePath)) == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const int rounds = argc > 1 ? atoi(argv[1]) : 10;
    const int perRound = argc > 2 ? atoi(argv[2]) : 500;
    if (rounds <= 0 || perRound <= 0) {
        fprintf(stderr, "usage: serial_port_bench [rounds] [exchanges-per-round]\n");
        return 2;
    }

    Pair pair;
    if (!OpenPair(&pair)) {
        perror("pseudo-terminal");
        return 1;
    }
    // The plain side opens the line before the port takes it exclusively.
    int plain = open(pair.slavePath, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (plain < 0) {
        perror(pair.slavePath);
        return 1;
    }
    CSerialPort port(NULL, CString(pair.slavePath), 19200, 0, 8, 0);
    if (!port.OpenPort()) {
        fprintf(stderr, "OpenPort failed, error %u\n", (unsigned)port.GetLastPortError());
        return 1;
    }
    port.m_ReadWriteTimeout = 60000;  // as the key check runs

    BYTE request[37];
    for (int i = 0; i < 37; ++i)
        request[i] = (BYTE)(0x30 + i);
    BYTE reply[12] = {0x05, 0x0C, 'a', 0x00, 1, 2, 3, 4, 5, 6, 7, 0};
    for (int i = 0; i < 11; ++i)
        reply[11] ^= reply[i];
    BYTE got[64];

    auto viaPort = [&]() -> bool {
        DWORD n = sizeof(request);
        if (!port.Write(request, sizeof(request), &n) || n != sizeof(request))
            return false;
        if (!ReadAll(pair.master, got, sizeof(request)) || !WriteAll(pair.master, reply, sizeof(reply)))
            return false;
        n = sizeof(reply);
        return port.Read(got, sizeof(got), &n) && n == sizeof(reply);
    };
    auto viaPlain = [&]() -> bool {
        if (!WriteAll(plain, request, sizeof(request)))
            return false;
        if (!ReadAll(pair.master, got, sizeof(request)) || !WriteAll(pair.master, reply, sizeof(reply)))
            return false;
        return ReadAll(plain, got, sizeof(reply));
    };

    // Warm up both paths, then interleave them exchange by exchange, in turns, so that
    // both see the same machine at the same moments.
    for (int i = 0; i < 100; ++i)
        if (!viaPort() || !viaPlain()) {
            fprintf(stderr, "exchange failed during warm-up\n");
            return 1;
        }
    std::vector<double> portUs;
    std::vector<double> plainUs;
    const long exchanges = (long)rounds * perRound;
    for (long i = 0; i < exchanges; ++i) {
        for (int pass = 0; pass < 2; ++pass) {
            const bool bPort = (pass == 0) == (i % 2 == 0);
            double t0 = NowUs();
            bool ok = bPort ? viaPort() : viaPlain();
            double t1 = NowUs();
            if (!ok) {
                fprintf(stderr, "exchange failed\n");
                return 1;
            }
            (bPort ? portUs : plainUs).push_back(t1 - t0);
        }
    }
    const double portMedian = Median(portUs);
    const double plainMedian = Median(plainUs);
    printf("exchanges per path:              %zu\n", portUs.size());
    printf("CSerialPort write 37 + read 12:  %.1f us (median)\n", portMedian);
    printf("plain write/read, same pair:     %.1f us (median)\n", plainMedian);
    printf("ratio:                           %.2f (goal: at most 1.3)\n", portMedian / plainMedian);

    // A read that waits for a silent terminal sleeps in poll(): its CPU time stays the same
    // small amount however long it waits.
    for (DWORD waitMs : {200u, 2000u}) {
        port.m_ReadWriteTimeout = waitMs;
        DWORD n = 5;
        double cpu0 = ThreadCpuUs();
        double wall0 = NowUs();
        BOOL ok = port.Read(got, sizeof(got), &n);
        double wall1 = NowUs();
        double cpu1 = ThreadCpuUs();
        printf("waiting read: %s after %.0f ms wall, %.2f ms CPU\n", ok ? "data" : "time-out",
               (wall1 - wall0) / 1000.0, (cpu1 - cpu0) / 1000.0);
    }

    port.ClosePort();
    close(plain);
    close(pair.master);
    return 0;
}
