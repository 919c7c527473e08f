// Test helper: a Wine prefix of its own under a temporary folder, for running the Windows
// builds on this machine. Created on first use, quietly (no debug channels, no prompts for
// the .NET and HTML engines); stop() ends the prefix's wineserver and removes the folder.
// Header-only, POSIX.
#pragma once

#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "ProcessRunner.h"
#include "TempFiles.h"

namespace testsupport {

// The Windows name of a path on this machine: Wine's drive Z: is the root folder.
inline std::string WindowsPath(const std::string& unixPath) {
    std::string path = "Z:" + unixPath;
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

// What a Windows console program writes for a text written with LF line ends.
inline std::string Crlf(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\n')
            out += '\r';
        out += c;
    }
    return out;
}

class WinePrefix {
public:
    // wine64: the 64-bit loader; a 32-bit program run through it goes to the 32-bit loader
    // beside it. wineserver: the one that serves wine64's prefixes.
    WinePrefix(std::string wine64, std::string wineserver)
        : m_wine64(std::move(wine64)), m_wineserver(std::move(wineserver)) {}
    ~WinePrefix() { stop(); }
    WinePrefix(const WinePrefix&) = delete;
    WinePrefix& operator=(const WinePrefix&) = delete;

    // Creates and initialises the prefix unless that was done; false with error() set
    // when it cannot be.
    bool ready() {
        if (m_ready || !m_error.empty())
            return m_ready;
        if (m_wine64.empty() || access(m_wine64.c_str(), X_OK) != 0) {
            m_error = "wine64 not found (scripts/setup installs it)";
            return false;
        }
        m_dir.reset(new TempDir("kp-wine"));
        if (m_dir->path().empty()) {
            m_error = "cannot create a temporary folder";
            return false;
        }
        // The server needs the folder; wineboot fills it.
        std::error_code ec;
        std::filesystem::create_directory(m_dir->file("prefix"), ec);
        if (!startServer("-i")) {
            m_error = "wineboot failed: " + readTextFile(m_dir->file("wineboot.log"));
            return false;
        }
        m_ready = true;
        return true;
    }
    const std::string& error() const { return m_error; }

    // Runs a Windows program (or a Wine tool such as "reg") in this prefix.
    RunResult run(const std::vector<std::string>& args, int timeoutMs,
                  const std::string& workingDir = "") const {
        std::vector<std::string> argv{m_wine64};
        argv.insert(argv.end(), args.begin(), args.end());
        RunOptions options;
        options.timeoutMs = timeoutMs;
        options.workingDir = workingDir;
        options.setEnv = environment();
        return runProcess(argv, options);
    }

    // Runs a Windows program as the first process of a new session of this prefix inside
    // a wrapper command (such as "umockdev-run ... --"), so that the services the session
    // starts inherit the wrapper's environment, and ends the session before the wrapper
    // returns. The program's output is kept apart from the wrapper's, which goes to
    // *wrapperResult; the exit code is the program's, unless the wrapper failed.
    RunResult runSession(const std::vector<std::string>& wrapper, const std::vector<std::string>& args,
                         int timeoutMs, RunResult* wrapperResult) {
        RunResult result;
        if (!stopServer())
            return result;
        const std::string out = m_dir->file("session.out"), err = m_dir->file("session.err");
        const std::string script = "wine=$0 server=$1 out=$2 err=$3; shift 3; "
                                   "\"$wine\" \"$@\" </dev/null >\"$out\" 2>\"$err\"; rc=$?; "
                                   "\"$server\" -k; \"$server\" -w; exit $rc";
        std::vector<std::string> argv = wrapper;
        argv.insert(argv.end(), {"/bin/sh", "-c", script, m_wine64, m_wineserver, out, err});
        argv.insert(argv.end(), args.begin(), args.end());
        RunOptions options;
        options.timeoutMs = timeoutMs;
        options.setEnv = environment();
        *wrapperResult = runProcess(argv, options);
        // Whatever a wrapper that failed left running.
        stopServer();
        result.started = wrapperResult->started;
        result.timedOut = wrapperResult->timedOut;
        result.exitCode = wrapperResult->exitCode;
        result.out = readTextFile(out);
        result.err = readTextFile(err);
        return result;
    }

    // Sets a value below HKEY_LOCAL_MACHINE; type is REG_SZ, REG_DWORD, ... A 32-bit
    // program sees the 32-bit view of the key (Software\Wow6432Node in the 64-bit one).
    bool setValue(const std::string& key, const std::string& name, const std::string& type,
                  const std::string& data, bool b32BitView = false) const {
        return run({"reg", "add", "HKLM\\" + key, "/v", name, "/t", type, "/d", data, "/f", View(b32BitView)},
                   60000)
                   .exitCode == 0;
    }
    bool deleteKey(const std::string& key, bool b32BitView = false) const {
        return run({"reg", "delete", "HKLM\\" + key, "/f", View(b32BitView)}, 60000).exitCode == 0;
    }

    // Maps COMn to a device of this machine (empty: removes the mapping). Wine reads the
    // mapping when its server starts, so the server is started anew.
    bool mapComPort(int n, const std::string& device) {
        const std::string name = "COM" + std::to_string(n);
        const bool ok =
            device.empty()
                ? run({"reg", "delete", "HKLM\\Software\\Wine\\Ports", "/v", name, "/f"}, 60000).exitCode == 0
                : setValue("Software\\Wine\\Ports", name, "REG_SZ", device);
        return stopServer() && startServer("") && ok;
    }

    // Ends the prefix's wineserver and every program still running in it, and waits.
    bool stopServer() const {
        if (!m_dir)
            return true;
        RunOptions options;
        options.timeoutMs = 60000;
        options.setEnv = environment();
        // -k fails when no server runs, which is as good.
        runProcess({m_wineserver, "-k"}, options);
        return runProcess({m_wineserver, "-w"}, options).exitCode == 0;
    }

    void stop() {
        if (!m_dir)
            return;
        stopServer();
        m_dir.reset();
        m_ready = false;
    }

private:
    // Starts a server that stays until stopped, and the prefix's system programs, away
    // from the test's output: a server or service started by a test's program would
    // inherit its output pipes and hold them open seconds after the program ended.
    bool startServer(const std::string& winebootOption) {
        RunOptions options;
        options.timeoutMs = 300000;
        options.setEnv = environment();
        const std::string script =
            "\"$0\" -p </dev/null >\"$3\" 2>&1 && \"$1\" wineboot $2 </dev/null >>\"$3\" 2>&1";
        return runProcess({"/bin/sh", "-c", script, m_wineserver, m_wine64, winebootOption,
                           m_dir->file("wineboot.log")},
                          options)
                   .exitCode == 0;
    }

    static std::string View(bool b32Bit) { return b32Bit ? "/reg:32" : "/reg:64"; }

    std::map<std::string, std::string> environment() const {
        return {{"WINEPREFIX", m_dir->file("prefix")},
                {"WINEDEBUG", "-all"},
                {"WINEDLLOVERRIDES", "mscoree,mshtml="},
                {"DISPLAY", ""}};
    }

    std::string m_wine64, m_wineserver;
    std::unique_ptr<TempDir> m_dir;
    bool m_ready = false;
    std::string m_error;
};

}  // namespace testsupport
