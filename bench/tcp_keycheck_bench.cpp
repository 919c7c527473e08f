// Wall and CPU time of a whole key check over TCP against termsim answering at once.
//
//   tcp_keycheck_bench [runs] [keyprobe] [termsim]
//
// Runs keyprobe (default: ../app/keyprobe beside this program's build folder) against one
// termsim (default: ../tools/termsim/termsim) on a loopback port, each run as its own
// process, and prints per run the wall time, the time beyond the run's fixed pauses
// (20 slots x 2 x 250 ms) and the CPU time keyprobe used (user and system).
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "BenchProcess.h"

namespace {

// Starts termsim on a loopback port of the system's choice; returns the port or -1.
int StartTcpTermsim(const std::string& termsim, pid_t* pPid) {
    const std::string line =
        bench::StartTermsim({termsim, "--transport", "tcp", "--max-seconds", "3600"}, pPid);
    int port = -1;
    if (sscanf(line.c_str(), "READY tcp 127.0.0.1 %d", &port) != 1)
        return -1;
    return port;
}

}  // namespace

int main(int argc, char* argv[]) {
    const int nRuns = argc > 1 ? atoi(argv[1]) : 3;
    const std::string build = bench::BuildDir();
    const std::string keyprobe = argc > 2 ? argv[2] : build + "/app/keyprobe";
    const std::string termsim = argc > 3 ? argv[3] : build + "/tools/termsim/termsim";

    pid_t simPid = -1;
    const int port = StartTcpTermsim(termsim, &simPid);
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

    const int status = bench::TimeKeyChecks(keyprobe, ini, keys, nRuns, 0);

    kill(simPid, SIGTERM);
    waitpid(simPid, nullptr, 0);
    unlink(ini.c_str());
    unlink(keys.c_str());
    rmdir(szDir);
    return status;
}
