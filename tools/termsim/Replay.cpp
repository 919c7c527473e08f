#include "Replay.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace termsim {

bool parseRecording(const std::string& content, std::vector<ReplayStep>& steps, std::string& error) {
    steps.clear();
    std::istringstream in(content);
    std::string line;
    unsigned lineNumber = 0;
    std::int64_t lastEvent = -1;
    bool any = false;
    while (std::getline(in, line)) {
        ++lineNumber;
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream words(line);
        std::string stamp, tag;
        words >> stamp >> tag;
        std::string rest;
        std::getline(words, rest);
        if (!rest.empty() && rest[0] == ' ')
            rest.erase(0, 1);
        char* end = nullptr;
        double ms = std::strtod(stamp.c_str(), &end);
        if (stamp.empty() || *end != '\0') {
            error = "line " + std::to_string(lineNumber) + ": no timestamp";
            return false;
        }
        std::int64_t micros = static_cast<std::int64_t>(ms * 1000.0 + 0.5);
        if (tag == "RX" || tag == "TX") {
            Bytes bytes;
            if (!parseHex(rest, bytes)) {
                error = "line " + std::to_string(lineNumber) + ": bad hex";
                return false;
            }
            any = true;
            if (tag == "RX") {
                if (steps.empty() || !steps.back().outs.empty() || steps.back().closeAfter)
                    steps.emplace_back();
                steps.back().expect.insert(steps.back().expect.end(), bytes.begin(), bytes.end());
            } else {
                if (steps.empty() || steps.back().closeAfter)
                    steps.emplace_back();
                std::int64_t delay = lastEvent < 0 ? 0 : micros - lastEvent;
                steps.back().outs.push_back({delay < 0 ? 0 : delay, bytes});
            }
            lastEvent = micros;
        } else if (tag == "EV" && rest.compare(0, 16, "disconnect local") == 0) {
            if (!steps.empty())
                steps.back().closeAfter = true;
        } else if (tag == "EV" && rest.compare(0, 7, "connect") == 0) {
            lastEvent = micros;
        }
    }
    if (!any) {
        error = "the recording holds no RX or TX line";
        return false;
    }
    return true;
}

bool loadRecording(const std::string& path, std::vector<ReplayStep>& steps, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot read " + path;
        return false;
    }
    std::ostringstream content;
    content << in.rdbuf();
    if (!parseRecording(content.str(), steps, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

ReplayEngine::ReplayEngine(std::vector<ReplayStep> steps, unsigned stallMs)
    : m_steps(std::move(steps)), m_stall(static_cast<std::int64_t>(stallMs) * 1000) {}

void ReplayEngine::play(const ReplayStep& step, std::vector<Output>& out) {
    for (std::size_t i = 0; i < step.outs.size(); ++i)
        out.push_back(
            {step.outs[i].delayMicros, step.outs[i].bytes, step.closeAfter && i + 1 == step.outs.size()});
    if (step.outs.empty() && step.closeAfter)
        out.push_back({0, Bytes(), true});
}

void ReplayEngine::connected(std::vector<Output>& out) {
    while (m_next < m_steps.size() && m_steps[m_next].expect.empty())
        play(m_steps[m_next++], out);
}

void ReplayEngine::feed(const Bytes& data, std::int64_t now, std::vector<Output>& out,
                        std::vector<std::string>& errors) {
    m_received.insert(m_received.end(), data.begin(), data.end());
    m_lastInput = now;
    while (!m_received.empty()) {
        if (m_next >= m_steps.size()) {
            errors.push_back("replay: input after the end of the recording: " + toHex(m_received));
            m_mismatched = true;
            m_received.clear();
            return;
        }
        const ReplayStep& step = m_steps[m_next];
        std::size_t n = step.expect.size();
        if (m_received.size() < n)
            return;  // the rest may still come; tick() reports a stall
        if (!std::equal(step.expect.begin(), step.expect.end(), m_received.begin())) {
            errors.push_back("replay: step " + std::to_string(m_next + 1) + " expected " +
                             toHex(step.expect) + ", got " + toHex(m_received.data(), n));
            m_mismatched = true;
        }
        m_received.erase(m_received.begin(), m_received.begin() + static_cast<long>(n));
        play(m_steps[m_next++], out);
    }
}

void ReplayEngine::tick(std::int64_t now, std::vector<Output>& out, std::vector<std::string>& errors) {
    if (m_received.empty() || now - m_lastInput < m_stall || m_next >= m_steps.size())
        return;
    errors.push_back("replay: step " + std::to_string(m_next + 1) + " expected " +
                     toHex(m_steps[m_next].expect) + ", got only " + toHex(m_received));
    m_mismatched = true;
    m_received.clear();
    play(m_steps[m_next++], out);
}

std::int64_t ReplayEngine::deadline() const { return m_received.empty() ? -1 : m_lastInput + m_stall; }

void ReplayEngine::finish(std::vector<std::string>& errors) {
    if (m_next < m_steps.size()) {
        errors.push_back("replay: ended with " + std::to_string(m_steps.size() - m_next) +
                         " recorded step(s) not played, next expecting " + toHex(m_steps[m_next].expect));
        m_mismatched = true;
    }
}

}  // namespace termsim
