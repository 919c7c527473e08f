// Process plumbing the benchmarks share: clocks, the build folder, starting termsim and
// reading its READY line, and timing whole key checks with keyprobe as its own process.
#pragma once

#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

namespace bench {

// Fixed pauses of one whole key check: 20 slots x 2 x 250 ms.
const double kKeyCheckPausesMs = 20 * 2 * 250.0;

inline double NowUs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1e6 + ts.tv_nsec / 1e3;
}

inline double NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

inline double Ms(const timeval& tv) { return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0; }

inline double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// The build folder: the parent of the folder this program lives in (.../bench).
inline std::string BuildDir() {
    char szPath[PATH_MAX] = {0};
    ssize_t n = readlink("/proc/self/exe", szPath, sizeof(szPath) - 1);
    std::string path = n > 0 ? std::string(szPath, static_cast<size_t>(n)) : std::string(".");
    path = path.substr(0, path.rfind('/'));
    return path.substr(0, path.rfind('/'));
}

// Keeps this process, its threads and the processes it starts from now on to one CPU, unless
// BENCH_PIN=0. On these small virtual machines a wake-up that crosses to another, idle CPU
// costs 20 to 130 us at random, more than a whole exchange, and which threads cross is
// decided afresh in every run; on one CPU both paths of a comparison pay the same switches
// and the figures repeat. Prints what it did.
inline cpu_set_t& CpusAtStart() {
    static cpu_set_t allowed;
    return allowed;
}

inline void PinToOneCpu() {
    const char* pin = getenv("BENCH_PIN");
    cpu_set_t& allowed = CpusAtStart();
    if ((pin && strcmp(pin, "0") == 0) || sched_getaffinity(0, sizeof(allowed), &allowed) != 0) {
        printf("threads: on every CPU (BENCH_PIN=0)\n");
        return;
    }
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
        if (!CPU_ISSET(cpu, &allowed))
            continue;
        cpu_set_t one;
        CPU_ZERO(&one);
        CPU_SET(cpu, &one);
        if (sched_setaffinity(0, sizeof(one), &one) == 0)
            printf("threads: pinned to CPU %d (BENCH_PIN=0 lets them roam)\n", cpu);
        return;
    }
}

// Lets this thread and the processes it starts from now on use every CPU again.
inline void UnpinFromOneCpu() {
    if (CPU_COUNT(&CpusAtStart()) > 0)
        sched_setaffinity(0, sizeof(cpu_set_t), &CpusAtStart());
}

// Runs args[0] with stdin and stderr on /dev/null and stdout on stdoutFd (or /dev/null).
inline pid_t Spawn(const std::vector<std::string>& args, int stdoutFd) {
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

// Starts termsim (args[0]) and returns what it printed up to its first line end, waiting
// at most 5 s; empty when nothing came. *pPid is set once the process exists.
inline std::string StartTermsim(const std::vector<std::string>& args, pid_t* pPid) {
    int fds[2];
    if (pipe(fds) != 0)
        return "";
    *pPid = Spawn(args, fds[1]);
    close(fds[1]);
    std::string line;
    const double deadline = NowMs() + 5000;
    while (line.find('\n') == std::string::npos && NowMs() < deadline) {
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
    return line;
}

// Runs keyprobe on ini/keys nRuns times, each as its own process, and prints per run the
// exit code, wall time, time beyond the fixed pauses and CPU time, then the medians.
// nDecimals is the precision of the "beyond the pauses" figures. 1 when any run failed.
inline int TimeKeyChecks(const std::string& keyprobe, const std::string& ini, const std::string& keys,
                         int nRuns, int nDecimals) {
    printf("run  exit  wall ms  beyond pauses ms  user ms  sys ms\n");
    std::vector<double> walls, cpus;
    int status = 0;
    for (int i = 0; i < nRuns; ++i) {
        const double start = NowUs();
        const pid_t pid = Spawn({keyprobe, ini, keys}, -1);
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
        printf("%3d  %4d  %7.0f  %16.*f  %7.1f  %6.1f\n", i + 1, code, wall, nDecimals,
               wall - kKeyCheckPausesMs, Ms(usage.ru_utime), Ms(usage.ru_stime));
    }
    if (!walls.empty())
        printf("median: wall %.0f ms (%.*f ms beyond the pauses), CPU %.1f ms\n", Median(walls), nDecimals,
               Median(walls) - kKeyCheckPausesMs, Median(cpus));
    return status;
}

}  // namespace bench
