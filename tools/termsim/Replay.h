// Playing a recorded session back: the terminal side waits for the recorded input,
// compares it and sends the recorded output with the recorded pauses.
#pragma once

#include "Bytes.h"

#include <cstdint>
#include <string>
#include <vector>

namespace termsim {

struct ReplayStep {
    Bytes expect;  // the peer's bytes this step waits for (empty only for a leading step)
    struct Out {
        std::int64_t delayMicros;  // after the step's input, or after the previous output
        Bytes bytes;
    };
    std::vector<Out> outs;
    bool closeAfter = false;  // the recording hung up after these outputs
};

// Reads the RX, TX and "EV disconnect local" lines of a recording or a transcript.
bool parseRecording(const std::string& content, std::vector<ReplayStep>& steps, std::string& error);
bool loadRecording(const std::string& path, std::vector<ReplayStep>& steps, std::string& error);

class ReplayEngine {
public:
    ReplayEngine(std::vector<ReplayStep> steps, unsigned stallMs);

    struct Output {
        std::int64_t delayMicros;
        Bytes bytes;
        bool closeAfter;
    };

    // A peer has connected: a step without expected input plays now.
    void connected(std::vector<Output>& out);
    void feed(const Bytes& data, std::int64_t nowMicros, std::vector<Output>& out,
              std::vector<std::string>& errors);
    // Input that stops short of what was recorded counts as a mismatch after the stall time.
    void tick(std::int64_t nowMicros, std::vector<Output>& out, std::vector<std::string>& errors);
    std::int64_t deadline() const;
    // Called at the end: steps never reached are a mismatch too.
    void finish(std::vector<std::string>& errors);

    bool mismatched() const { return m_mismatched; }

private:
    void play(const ReplayStep& step, std::vector<Output>& out);

    std::vector<ReplayStep> m_steps;
    std::int64_t m_stall;
    std::size_t m_next = 0;
    Bytes m_received;
    std::int64_t m_lastInput = 0;
    bool m_mismatched = false;
};

}  // namespace termsim
