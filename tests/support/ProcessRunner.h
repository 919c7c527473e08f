// Test helper: run a program with a bounded wait and capture what it prints; write INI
// files. Header-only, POSIX.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "TempFiles.h"

extern char** environ;

namespace testsupport {

inline long long monotonicMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Writes "[section]" blocks with "key=value" lines, CR LF line ends as on Windows.
// Keys keep the order given.
using IniSection = std::vector<std::pair<std::string, std::string>>;
inline bool writeIniFile(const std::string& path,
                         const std::vector<std::pair<std::string, IniSection>>& sections) {
    std::string text;
    for (const auto& section : sections) {
        text += "[" + section.first + "]\r\n";
        for (const auto& kv : section.second)
            text += kv.first + "=" + kv.second + "\r\n";
    }
    return writeTextFile(path, text);
}

// The [Connection] section for the serial port at a device path (a pty slave).
inline bool writeSerialIni(const std::string& path, const std::string& device,
                           const std::string& baud = "19200") {
    return writeIniFile(
        path, {{"Connection", {{"ConnectType", "Serial Port"}, {"Port", device}, {"Baudrate", baud}}}});
}

// The [Connection] section for the TCP/IP port.
inline bool writeTcpIni(const std::string& path, int port, const std::string& address = "127.0.0.1") {
    return writeIniFile(
        path, {{"Connection",
                {{"ConnectType", "TCP/IP Port"}, {"IPAddress", address}, {"IPPort", std::to_string(port)}}}});
}

struct RunResult {
    bool started = false;
    bool timedOut = false;  // killed at the deadline
    int exitCode = -1;      // -1 when killed by a signal
    int signal = 0;
    std::string out;
    std::string err;
};

struct RunOptions {
    int timeoutMs = 60000;
    std::string workingDir;                     // empty: inherit
    std::map<std::string, std::string> setEnv;  // added or replaced
};

// Runs argv[0] (a path) with the arguments and standard input at end of file, waits at
// most timeoutMs, kills it (SIGKILL) at the deadline. Never throws.
inline RunResult runProcess(const std::vector<std::string>& argv, const RunOptions& options = RunOptions()) {
    RunResult result;
    if (argv.empty())
        return result;
    int outPipe[2], errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0)
        return result;
    if (pipe2(errPipe, O_CLOEXEC) != 0) {
        close(outPipe[0]);
        close(outPipe[1]);
        return result;
    }

    std::vector<std::string> envStrings;
    for (char** e = environ; e && *e; ++e) {
        std::string entry = *e;
        std::string key = entry.substr(0, entry.find('='));
        if (options.setEnv.count(key) == 0)
            envStrings.push_back(entry);
    }
    for (const auto& kv : options.setEnv)
        envStrings.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp;
    for (auto& s : envStrings)
        envp.push_back(&s[0]);
    envp.push_back(nullptr);
    std::vector<std::string> args = argv;
    std::vector<char*> argp;
    for (auto& s : args)
        argp.push_back(&s[0]);
    argp.push_back(nullptr);

    long long start = monotonicMs();
    pid_t pid = fork();
    if (pid == 0) {
        int nul = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (nul >= 0)
            dup2(nul, 0);
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        if (!options.workingDir.empty() && chdir(options.workingDir.c_str()) != 0)
            _exit(126);
        execve(argp[0], argp.data(), envp.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        close(outPipe[0]);
        close(errPipe[0]);
        return result;
    }
    result.started = true;

    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    int open = 2;
    char buffer[4096];
    while (open > 0) {
        long long left = options.timeoutMs - (monotonicMs() - start);
        if (left <= 0) {
            kill(pid, SIGKILL);
            result.timedOut = true;
            break;
        }
        int n = poll(fds, 2, static_cast<int>(left));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            continue;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            ssize_t r = read(fds[i].fd, buffer, sizeof buffer);
            if (r > 0) {
                (i == 0 ? result.out : result.err).append(buffer, static_cast<std::size_t>(r));
            } else if (r == 0 || errno != EINTR) {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    for (auto& f : fds)
        if (f.fd >= 0)
            close(f.fd);
    // The output may close before the process ends: the wait keeps to the same deadline.
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid || (r < 0 && errno != EINTR))
            break;
        if (r == 0 && monotonicMs() - start >= options.timeoutMs && !result.timedOut) {
            kill(pid, SIGKILL);
            result.timedOut = true;
        }
        if (r == 0)
            usleep(2000);
    }
    if (WIFEXITED(status))
        result.exitCode = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        result.signal = WTERMSIG(status);
    return result;
}

// Keeps a test's keyprobe away from the machine's own devices and settings: unless the
// caller chose otherwise, COMn names nothing (an unreadable INI file falls back to COM1,
// which would otherwise be the real /dev/ttyS0), the registry store does not exist
// (so the debug log stays off) and only virtual HID and USB devices are listed.
inline RunOptions isolatedFromMachine(RunOptions options) {
    if (!options.setEnv.count("IOCLASSLIB_DOSDEVICES"))
        options.setEnv["IOCLASSLIB_DOSDEVICES"] = "/nonexistent/keyprobe-test-dosdevices";
    if (!options.setEnv.count("IOCLASSLIB_REGISTRY"))
        options.setEnv["IOCLASSLIB_REGISTRY"] = "/nonexistent/keyprobe-test-registry.reg";
    if (!options.setEnv.count("IOCLASSLIB_REAL_DEVICES"))
        options.setEnv["IOCLASSLIB_REAL_DEVICES"] = "0";
    return options;
}

#ifdef KEYPROBE_BIN
// Runs the built keyprobe with the two arguments (or any others), isolated as above.
// To reach a pty as COMn, start termsim with --link DIR/comn and set
// IOCLASSLIB_DOSDEVICES=DIR in options.setEnv.
inline RunResult runKeyprobe(const std::vector<std::string>& args, const RunOptions& options = RunOptions()) {
    std::vector<std::string> argv{KEYPROBE_BIN};
    argv.insert(argv.end(), args.begin(), args.end());
    return runProcess(argv, isolatedFromMachine(options));
}
#endif

}  // namespace testsupport
