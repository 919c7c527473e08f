// Wall and CPU time of a whole key check over TCP against termsim answering at once.
//
//   tcp_keycheck_bench [runs] [keyprobe] [termsim]
//
// Runs keyprobe (default: ../app/keyprobe beside this program's build folder) against one
// termsim (default: ../tools/termsim/termsim) on a loopback port, each run as its own
// process, and prints per run the wall time, the time beyond the run's fixed pauses
// (20 slots x 2 x 250 ms) and the CPU time keyprobe used (user and system).
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
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

namespace {

const double kPausesMs = 20 * 2 * 250.0;

double NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

double Ms(const timeval& tv) { return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0; }

std::string BuildDir() {
    char szPath[PATH_MAX] = {0};
    ssize_t n = readlink("/proc/self/exe", szPath, sizeof(szPath) - 1);
    std::string path = n > 0 ? std::string(szPath, static_cast<size_t>(n)) : std::string(".");
    path = path.substr(0, path.rfind('/'));  // .../bench
    return path.substr(0, path.rfind('/'));  // the build folder
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

// Starts termsim on a loopback port of the system's choice; returns the port or -1.
int StartTermsim(const std::string& termsim, pid_t* pPid) {
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    *pPid = Spawn({termsim, "--transport", "tcp", "--max-seconds", "3600"}, fds[1]);
    close(fds[1]);
    std::string line;
    const double deadline = NowMs() + 5000;
    while (line.find('\n') == std::string::npos && NowMs() < deadline) {
        pollfd p = {fds[0], POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buf[128];
        ssize_t n = read(fds[0], buf, sizeof(buf));
        if (n <= 0)
            break;
        line.append(buf, static_cast<size_t>(n));
    }
    close(fds[0]);
    int port = -1;
    if (sscanf(line.c_str(), "READY tcp 127.0.0.1 %d", &port) != 1)
        return -1;
    return port;
}

}  // namespace

int main(int argc, char* argv[]) {
    const int nRuns = argc > 1 ? atoi(argv[1]) : 3;
    const std::string build = BuildDir();
    const std::string keyprobe = argc > 2 ? argv[2] : build + "/app/keyprobe";
    const std::string termsim = argc > 3 ? argv[3] : build + "/tools/termsim/termsim";

    pid_t simPid = -1;
    const int port = StartTermsim(termsim, &simPid);
    if (port < 0) {
        fprintf(stderr, "termsim did not start (%s)\n", termsim.c_str());
        if (simPid > 0)
            kill(simPid, SIGKILL);
        return 1;
    }
    char szDir[] = "/tmp/tcp-keycheck-bench-XXXXXX";
    if (mkdtemp(szDir) == nullptr)
        return 1;
    const std::string ini = std::string(szDir) + "/terminal.ini";
    const std::string keys = std::string(szDir) + "/keys.txt";
    FILE* f = fopen(ini.c_str(), "wb");
    fprintf(f, "[Connection]\r\nConnectType=TCP/IP Port\r\nIPAddress=127.0.0.1\r\nIPPort=%d\r\n", port);
    fclose(f);

    printf("run  exit  wall ms  beyond pauses ms  user ms  sys ms\n");
    std::vector<double> walls, cpus;
    int status = 0;
    for (int i = 0; i < nRuns; ++i) {
        const double start = NowMs();
        pid_t pid = Spawn({keyprobe, ini, keys}, -1);
        int wstatus = 0;
        rusage usage;
        memset(&usage, 0, sizeof(usage));
        wait4(pid, &wstatus, 0, &usage);
        const double wall = NowMs() - start;
        const int code = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : -1;
        if (code != 0)
            status = 1;
        walls.push_back(wall);
        cpus.push_back(Ms(usage.ru_utime) + Ms(usage.ru_stime));
        printf("%3d  %4d  %7.0f  %16.0f  %7.1f  %6.1f\n", i + 1, code, wall, wall - kPausesMs,
               Ms(usage.ru_utime), Ms(usage.ru_stime));
    }
    if (!walls.empty()) {
        std::sort(walls.begin(), walls.end());
        std::sort(cpus.begin(), cpus.end());
        printf("median: wall %.0f ms (%.0f ms beyond the pauses), CPU %.1f ms\n", walls[walls.size() / 2],
               walls[walls.size() / 2] - kPausesMs, cpus[cpus.size() / 2]);
    }

    kill(simPid, SIGTERM);
    waitpid(simPid, nullptr, 0);
    unlink(ini.c_str());
    unlink(keys.c_str());
    rmdir(szDir);
    return status;
}
