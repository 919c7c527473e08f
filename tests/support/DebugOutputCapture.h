// Test helper: sends the debugger output channel (OutputDebugStringA) to a temporary file
// for the life of the object; Text() is what was written, one line per call.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <sstream>
#include <string>

class DebugOutputCapture {
public:
    DebugOutputCapture() {
        char name[] = "/tmp/debug-output-XXXXXX";
        const int fd = mkstemp(name);
        if (fd >= 0)
            close(fd);
        m_path = name;
        setenv("IOCLASSLIB_DEBUG_OUTPUT", m_path.c_str(), 1);
    }
    ~DebugOutputCapture() {
        unsetenv("IOCLASSLIB_DEBUG_OUTPUT");
        unlink(m_path.c_str());
    }
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

    std::string Text() const {
        std::ifstream in(m_path);
        std::ostringstream text;
        text << in.rdbuf();
        return text.str();
    }

private:
    std::string m_path;
};
