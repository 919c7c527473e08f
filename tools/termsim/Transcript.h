// The timestamped record of a session: every chunk in and out, decoded frames,
// violations and events, one line each, flushed at once so tests can follow along.
#pragma once

#include "Bytes.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace termsim {

// CLOCK_MONOTONIC in microseconds: the same clock as std::chrono::steady_clock here, so
// a test can compare the transcript's times with its own.
std::int64_t monotonicMicros();

// "12345.678": milliseconds with microsecond decimals.
std::string formatMillis(std::int64_t micros);

class Transcript {
public:
    Transcript() = default;
    ~Transcript();
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    // An empty path makes a transcript that writes nothing. dataOnly keeps just the
    // RX/TX/EV lines (a recording).
    bool open(const std::string& path, bool dataOnly, std::string& error);
    void comment(const std::string& text);

    void line(const std::string& tag, const std::string& text, std::int64_t micros = monotonicMicros());
    // False when a line could not be written or the file not closed cleanly (a full disk,
    // /dev/full): the transcript is incomplete, and error() says why.
    bool close();
    const std::string& error() const { return m_error; }

private:
    void flushNotingError();

    std::FILE* m_file = nullptr;
    std::string m_path;
    std::string m_error;  // the first write error
    bool m_dataOnly = false;
};

}  // namespace termsim
