// Test helper: sends the debugger output channel (OutputDebugStringA) to a temporary file
// for the life of the object; Text() is what was written, one line per call.
#pragma once

#include <string>

#include "ScopedEnv.h"
#include "TempFiles.h"

class DebugOutputCapture {
public:
    DebugOutputCapture() = default;
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

    std::string Text() const { return testsupport::readTextFile(m_path); }

private:
    testsupport::TempDir m_dir{"debug-output"};
    const std::string m_path = m_dir.file("debug-output.txt");
    testsupport::ScopedEnv m_env{"IOCLASSLIB_DEBUG_OUTPUT", m_path};
};
