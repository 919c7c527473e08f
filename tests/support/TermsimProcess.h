// Test helper: runs termsim as a child process and reads its transcript.
//
//   testsupport::TermsimProcess sim({"--transport", "pty", "--ms", "LL8LLLLLLL"});
//   ASSERT_TRUE(sim.ready()) << sim.error();
//   ... point keyprobe at sim.ptyPath() (or 127.0.0.1:sim.tcpPort()) ...
//   auto t = sim.transcript();
//   EXPECT_TRUE(t.errors().empty());
//   for (const auto& f : t.rxFrames()) ...   // frames keyprobe sent, byte for byte
//
// The transcript goes to a file of a private temporary folder unless the arguments
// name one with --transcript. A --max-seconds bound is added unless given, so that a
// forgotten simulator never outlives the test run by much. Header-only, POSIX.
#pragma once

#include "HexBytes.h"
#include "ProcessRunner.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

// One transcript line: "MS TAG TEXT". For RX, TX, RXF and TXF, bytes holds the hex decoded.
struct TranscriptEntry {
    double ms = 0;  // CLOCK_MONOTONIC, milliseconds
    std::string tag;
    std::string text;
    ByteVec bytes;
};

// A VLI frame taken apart, checked independently of any production code.
struct VliFrame {
    bool valid = false;  // length fits and checksum right
    bool longForm = false;
    std::size_t total = 0;
    std::uint8_t command = 0;
    ByteVec data;  // after the command byte (for a reply: status first)
};

inline VliFrame parseVliFrame(const ByteVec& frame) {
    VliFrame f;
    if (frame.size() < 4)
        return f;
    std::size_t header = 2;
    f.total = frame[1];
    if (frame[1] == 0) {
        if (frame.size() < 6)
            return f;
        f.longForm = true;
        f.total = frame[2] | (frame[3] << 8);
        header = 4;
    }
    if (f.total != frame.size() || f.total < header + 2)
        return f;
    std::uint8_t x = 0;
    for (std::size_t i = 0; i + 1 < frame.size(); ++i)
        x ^= frame[i];
    f.command = frame[header];
    f.data.assign(frame.begin() + static_cast<long>(header) + 1, frame.end() - 1);
    f.valid = frame[0] == 0x05 && x == frame.back();
    return f;
}

// Builds a short or long VLI frame by hand, for expectations in tests.
inline ByteVec vliFrame(std::uint8_t command, const ByteVec& data) {
    ByteVec f{0x05};
    std::size_t total = data.size() + 4;
    if (total <= 255) {
        f.push_back(static_cast<std::uint8_t>(total));
    } else {
        total += 2;
        f.push_back(0);
        f.push_back(static_cast<std::uint8_t>(total & 0xFF));
        f.push_back(static_cast<std::uint8_t>(total >> 8));
    }
    f.push_back(command);
    f.insert(f.end(), data.begin(), data.end());
    std::uint8_t x = 0;
    for (auto b : f)
        x ^= b;
    f.push_back(x);
    return f;
}

class TermsimTranscript {
public:
    static TermsimTranscript parse(const std::string& content) {
        TermsimTranscript t;
        std::istringstream in(content);
        std::string line;
        while (std::getline(in, line)) {
            if (line.empty() || line[0] == '#')
                continue;
            if (!line.empty() && line.back() == '\r')
                line.pop_back();
            std::size_t s1 = line.find(' ');
            if (s1 == std::string::npos)
                continue;
            std::size_t s2 = line.find(' ', s1 + 1);
            TranscriptEntry e;
            e.ms = std::strtod(line.substr(0, s1).c_str(), nullptr);
            e.tag = line.substr(s1 + 1, s2 == std::string::npos ? std::string::npos : s2 - s1 - 1);
            e.text = s2 == std::string::npos ? std::string() : line.substr(s2 + 1);
            if (e.tag == "RX" || e.tag == "TX" || e.tag == "RXF" || e.tag == "TXF" || e.tag == "RXR" ||
                e.tag == "TXR")
                e.bytes = hexToBytes(e.text);
            t.m_entries.push_back(e);
        }
        return t;
    }
    static TermsimTranscript load(const std::string& path) { return parse(readTextFile(path)); }

    const std::vector<TranscriptEntry>& entries() const { return m_entries; }

    std::vector<TranscriptEntry> withTag(const std::string& tag) const {
        std::vector<TranscriptEntry> out;
        for (const auto& e : m_entries)
            if (e.tag == tag)
                out.push_back(e);
        return out;
    }
    // Complete, well-formed frames received from the peer (what keyprobe sent).
    std::vector<ByteVec> rxFrames() const { return bytesOf("RXF"); }
    // Replies as termsim built them.
    std::vector<ByteVec> txFrames() const { return bytesOf("TXF"); }
    // Framing and protocol violations seen by termsim, and replay mismatches.
    std::vector<std::string> errors() const { return textOf("ERR"); }
    // The class of each decoded command in arrival order: "a", "fetch", "0x81", "Q", "b", "r", ...
    std::vector<std::string> commandClasses() const {
        std::vector<std::string> out;
        for (const auto& c : textOf("CMD"))
            out.push_back(c.substr(0, c.find(' ')));
        return out;
    }
    // Every byte received, in order.
    ByteVec rxBytes() const {
        ByteVec out;
        for (const ByteVec& chunk : bytesOf("RX"))
            out.insert(out.end(), chunk.begin(), chunk.end());
        return out;
    }

    // The bytes, or the texts, of the lines with this tag: bytesOf("TX") is one entry per write.
    std::vector<ByteVec> bytesOf(const std::string& tag) const {
        std::vector<ByteVec> out;
        for (const auto& e : m_entries)
            if (e.tag == tag)
                out.push_back(e.bytes);
        return out;
    }
    std::vector<std::string> textOf(const std::string& tag) const {
        std::vector<std::string> out;
        for (const auto& e : m_entries)
            if (e.tag == tag)
                out.push_back(e.text);
        return out;
    }

private:
    std::vector<TranscriptEntry> m_entries;
};

// A client connection to a termsim listening on the loopback address (--transport tcp):
// the socket, or -1.
inline int connectLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

class TermsimProcess {
public:
    TermsimProcess() = default;
    explicit TermsimProcess(const std::vector<std::string>& args, int readyTimeoutMs = 5000) {
        start(args, readyTimeoutMs);
    }
    ~TermsimProcess() { stop(); }
    TermsimProcess(const TermsimProcess&) = delete;
    TermsimProcess& operator=(const TermsimProcess&) = delete;

#ifdef TERMSIM_BIN
    bool start(const std::vector<std::string>& args, int readyTimeoutMs = 5000) {
        return startBinary(TERMSIM_BIN, args, readyTimeoutMs);
    }
#endif

    // Starts the given binary and waits (bounded) for its READY line.
    bool startBinary(const std::string& binary, std::vector<std::string> args, int readyTimeoutMs = 5000) {
        stop();
        m_error.clear();
        m_readyLine.clear();
        m_ptyPath.clear();
        m_linkPath.clear();
        m_tcpPort = -1;
        m_hidSocket.clear();
        m_exitCode = -1;
        m_dir.reset(new TempDir("termsim"));
        if (m_dir->path().empty()) {
            m_error = "cannot create a temporary folder";
            return false;
        }
        bool hasTranscript = false, hasBound = false;
        for (std::size_t i = 0; i < args.size(); ++i) {
            const std::string& a = args[i];
            if (a == "--transcript" && i + 1 < args.size())
                m_transcriptPath = args[i + 1];
            else if (a.compare(0, 13, "--transcript=") == 0)
                m_transcriptPath = a.substr(13);
            else
                continue;
            hasTranscript = true;
        }
        for (const auto& a : args)
            hasBound = hasBound || a.compare(0, 13, "--max-seconds") == 0;
        if (!hasTranscript) {
            m_transcriptPath = m_dir->file("transcript.log");
            args.push_back("--transcript");
            args.push_back(m_transcriptPath);
        }
        if (!hasBound) {
            args.push_back("--max-seconds");
            args.push_back("900");
        }
        m_stderrPath = m_dir->file("stderr.txt");

        int outPipe[2];
        if (pipe2(outPipe, O_CLOEXEC) != 0) {
            m_error = "pipe failed";
            return false;
        }
        std::vector<std::string> argv{binary};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<char*> argp;
        for (auto& s : argv)
            argp.push_back(&s[0]);
        argp.push_back(nullptr);
        std::string errPath = m_stderrPath;
        m_pid = fork();
        if (m_pid == 0) {
            dup2(outPipe[1], 1);
            int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (err >= 0)
                dup2(err, 2);
            int nul = open("/dev/null", O_RDONLY);
            if (nul >= 0)
                dup2(nul, 0);
            execv(argp[0], argp.data());
            _exit(127);
        }
        close(outPipe[1]);
        if (m_pid < 0) {
            close(outPipe[0]);
            m_error = "fork failed";
            return false;
        }
        m_stdout = outPipe[0];

        std::string text;
        long long deadline = monotonicMs() + readyTimeoutMs;
        while (text.find('\n') == std::string::npos) {
            long long left = deadline - monotonicMs();
            if (left <= 0)
                break;
            pollfd p{m_stdout, POLLIN, 0};
            int n = poll(&p, 1, static_cast<int>(left));
            if (n <= 0)
                continue;
            char buffer[256];
            ssize_t r = read(m_stdout, buffer, sizeof buffer);
            if (r <= 0)
                break;
            text.append(buffer, static_cast<std::size_t>(r));
        }
        std::size_t nl = text.find('\n');
        if (nl == std::string::npos || text.compare(0, 6, "READY ") != 0) {
            m_error = "termsim did not report READY (stdout: '" + text + "')";
            stop();
            m_error += "; exit code " + std::to_string(m_exitCode) + "; stderr: " + stderrText();
            return false;
        }
        m_readyLine = text.substr(0, nl);
        std::istringstream words(m_readyLine);
        std::string ready, kind;
        words >> ready >> kind;
        if (kind == "pty") {
            words >> m_ptyPath >> m_linkPath;
        } else if (kind == "tcp") {
            std::string address;
            words >> address >> m_tcpPort;
        } else if (kind == "hid") {
            words >> m_hidSocket;
        }
        return true;
    }

    bool ready() const { return !m_readyLine.empty() && m_pid > 0; }
    const std::string& error() const { return m_error; }
    const std::string& readyLine() const { return m_readyLine; }
    const std::string& ptyPath() const { return m_ptyPath; }
    const std::string& linkPath() const { return m_linkPath; }
    int tcpPort() const { return m_tcpPort; }
    // The virtual HID device server's socket (--transport hid), for IOCLASSLIB_VIRTUAL_HID.
    const std::string& hidSocket() const { return m_hidSocket; }
    const std::string& transcriptPath() const { return m_transcriptPath; }
    pid_t pid() const { return m_pid; }
    std::string stderrText() const { return readTextFile(m_stderrPath); }
    // A private folder that lives as long as this object, for INI and result files.
    std::string tempFile(const std::string& name) const { return m_dir ? m_dir->file(name) : name; }

    TermsimTranscript transcript() const { return TermsimTranscript::load(m_transcriptPath); }

    // Polls the transcript until the predicate holds or the time is up.
    bool waitForTranscript(const std::function<bool(const TermsimTranscript&)>& predicate,
                           int timeoutMs = 5000) const {
        long long deadline = monotonicMs() + timeoutMs;
        for (;;) {
            if (predicate(transcript()))
                return true;
            if (monotonicMs() >= deadline)
                return false;
            usleep(10000);
        }
    }

    // SIGTERM, a bounded wait, then SIGKILL. Returns the exit code (-1 when killed by
    // a signal or never started). Safe to call twice.
    int stop(int graceMs = 3000) {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            if (!waitExit(graceMs)) {
                kill(m_pid, SIGKILL);
                int status = 0;
                bool reaped = waitpid(m_pid, &status, 0) == m_pid;
                m_exitCode = reaped && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                m_pid = -1;
            }
        }
        if (m_stdout >= 0) {
            close(m_stdout);
            m_stdout = -1;
        }
        return m_exitCode;
    }
    int exitCode() const { return m_exitCode; }

    // Waits (bounded) for termsim to end by itself, e.g. after --exit-after-idle.
    // True when it ended; exitCode() then holds its code.
    bool waitExit(int timeoutMs) {
        if (m_pid <= 0)
            return true;
        long long deadline = monotonicMs() + timeoutMs;
        for (;;) {
            int status = 0;
            pid_t r = waitpid(m_pid, &status, WNOHANG);
            if (r == m_pid || (r < 0 && errno != EINTR)) {  // ended, or no longer ours to wait for
                m_exitCode = r == m_pid && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
                m_pid = -1;
                return true;
            }
            if (monotonicMs() >= deadline)
                return false;
            usleep(5000);
        }
    }

private:
    std::unique_ptr<TempDir> m_dir;
    pid_t m_pid = -1;
    int m_stdout = -1;
    int m_exitCode = -1;
    int m_tcpPort = -1;
    std::string m_hidSocket;
    std::string m_error, m_readyLine, m_ptyPath, m_linkPath, m_transcriptPath, m_stderrPath;
};

}  // namespace testsupport
