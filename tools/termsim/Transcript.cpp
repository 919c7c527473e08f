#include "Transcript.h"

#include <cerrno>
#include <cstring>
#include <ctime>

namespace termsim {

std::int64_t monotonicMicros() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

std::string formatMillis(std::int64_t micros) {
    char text[40];
    std::snprintf(text, sizeof text, "%lld.%03lld", static_cast<long long>(micros / 1000),
                  static_cast<long long>(micros % 1000));
    return text;
}

Transcript::~Transcript() { close(); }

bool Transcript::open(const std::string& path, bool dataOnly, std::string& error) {
    close();
    m_dataOnly = dataOnly;
    if (path.empty())
        return true;
    m_file = std::fopen(path.c_str(), "w");
    if (m_file == nullptr) {
        error = "cannot write " + path + ": " + std::strerror(errno);
        return false;
    }
    m_path = path;
    m_error.clear();
    return true;
}

void Transcript::flushNotingError() {
    if (std::fflush(m_file) != 0 && m_error.empty())
        m_error = "cannot write " + m_path + ": " + std::strerror(errno);
}

void Transcript::comment(const std::string& text) {
    if (m_file == nullptr)
        return;
    std::fprintf(m_file, "# %s\n", text.c_str());
    flushNotingError();
}

void Transcript::line(const std::string& tag, const std::string& text, std::int64_t micros) {
    if (m_file == nullptr)
        return;
    if (m_dataOnly && tag != "RX" && tag != "TX" && tag != "EV")
        return;
    std::fprintf(m_file, "%s %s %s\n", formatMillis(micros).c_str(), tag.c_str(), text.c_str());
    flushNotingError();
}

bool Transcript::close() {
    if (m_file != nullptr) {
        if (std::fclose(m_file) != 0 && m_error.empty())
            m_error = "cannot write " + m_path + ": " + std::strerror(errno);
        m_file = nullptr;
    }
    return m_error.empty();
}

}  // namespace termsim
