// Test helper: a Wine prefix of its own under a temporary folder, for running the Windows
// builds on this machine. Created on first use, quietly (no debug channels, no prompts for
// the .NET and HTML engines) and with none of this machine's serial ports, which tests
// never open; stop() ends the prefix's wineserver and removes the folder. Header-only, POSIX.
#pragma once

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
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

// A Windows console program's output with LF line ends again.
inline std::string WithoutCr(std::string text) {
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
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
        bool ok = startServer("-i") && stopServer();
        for (int n = 1; ok && n <= kComPorts; ++n)
            ok = keepComPortFree(n, true);
        if (!ok || !startServer("")) {
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

    // Runs Windows programs one after the other as the first processes of a new session of
    // this prefix inside a wrapper command (such as "umockdev-run ... --"), so that the
    // services the session starts inherit the wrapper's environment, and ends the session
    // before the wrapper returns. Each program's output is kept apart from the wrapper's,
    // which goes to *wrapperResult; a program that did not finish has no exit code.
    std::vector<RunResult> runSession(const std::vector<std::string>& wrapper,
                                      const std::vector<std::vector<std::string>>& programs, int timeoutMs,
                                      RunResult* wrapperResult) {
        std::vector<RunResult> results(programs.size());
        if (!stopServer())
            return results;
        std::string script = "wine=$0 server=$1\n";
        for (std::size_t i = 0; i < programs.size(); ++i) {
            script += "\"$wine\"";
            for (const std::string& arg : programs[i])
                script += " " + ShellQuoted(arg);
            const std::string prefix = m_dir->file("session" + std::to_string(i));
            script += " </dev/null >" + ShellQuoted(prefix + ".out") + " 2>" + ShellQuoted(prefix + ".err") +
                      "; echo $? >" + ShellQuoted(prefix + ".rc") + "\n";
        }
        script += "\"$server\" -k; \"$server\" -w\n";
        std::vector<std::string> argv = wrapper;
        argv.insert(argv.end(), {"/bin/sh", "-c", script, m_wine64, m_wineserver});
        RunOptions options;
        options.timeoutMs = timeoutMs;
        options.setEnv = environment();
        *wrapperResult = runProcess(argv, options);
        // Whatever a wrapper that failed left running.
        stopServer();
        for (std::size_t i = 0; i < programs.size(); ++i) {
            const std::string prefix = m_dir->file("session" + std::to_string(i));
            bool finished = false;
            const std::string rc = readTextFile(prefix + ".rc", &finished);
            results[i].started = finished;
            results[i].timedOut = wrapperResult->timedOut && !finished;
            results[i].exitCode = finished ? std::atoi(rc.c_str()) : -1;
            results[i].out = readTextFile(prefix + ".out");
            results[i].err = readTextFile(prefix + ".err");
            for (const char* extension : {".rc", ".out", ".err"})
                std::filesystem::remove(prefix + extension);
        }
        return results;
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

    // Maps COMn to a device of this machine for each pair (an empty device removes the
    // mapping). Wine reads the mappings when its server starts, so the server is started anew.
    bool mapComPorts(const std::map<int, std::string>& devices) {
        bool ok = true;
        for (const auto& [n, device] : devices) {
            const std::string name = "COM" + std::to_string(n);
            ok = (device.empty()
                      ? run({"reg", "delete", "HKLM\\Software\\Wine\\Ports", "/v", name, "/f"}, 60000)
                                .exitCode == 0
                      : setValue("Software\\Wine\\Ports", name, "REG_SZ", device)) &&
                 ok;
        }
        if (!stopServer())
            return false;
        for (const auto& [n, device] : devices)
            ok = keepComPortFree(n, device.empty()) && ok;
        return startServer("") && ok;
    }
    bool mapComPort(int n, const std::string& device) { return mapComPorts({{n, device}}); }

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
    // Wine's port table: each COM name it may give to a serial device of this machine.
    static constexpr int kComPorts = 256;

    // Wine gives every serial device of this machine (/dev/ttyS*, ttyUSB*, ttyACM*) a COM
    // name that no mapping takes, when its server starts. It cannot put its link where a
    // folder stands, and then leaves the port out, so each free name gets a folder; a
    // mapping takes the folder away. The server must not run meanwhile.
    bool keepComPortFree(int n, bool bFree) const {
        const std::string path = m_dir->file("prefix/dosdevices/com" + std::to_string(n));
        std::error_code ec;
        std::filesystem::remove(path, ec);
        return !bFree || std::filesystem::create_directory(path, ec);
    }

    static std::string ShellQuoted(const std::string& text) {
        std::string quoted = "'";
        for (char c : text)
            quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
        return quoted + "'";
    }

    // Starts a server that stays until stopped, and the prefix's system programs, away
    // from the test's output: a server or service started by a test's program would
    // inherit its output pipes and hold them open seconds after the program ended. It is
    // the server that opens devices, and root's would open a terminal that another program
    // holds exclusively (TIOCEXCL) through CAP_SYS_ADMIN: without it, root's Wine finds
    // such a port busy, as every user's does.
    bool startServer(const std::string& winebootOption) {
        RunOptions options;
        options.timeoutMs = 300000;
        options.setEnv = environment();
        const std::string server =
            geteuid() == 0 ? "setpriv --bounding-set=-sys_admin -- \"$0\"" : std::string("\"$0\"");
        const std::string script =
            server + " -p </dev/null >\"$3\" 2>&1 && \"$1\" wineboot $2 </dev/null >>\"$3\" 2>&1";
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
