// Test helper: a registry store of the test's own (a .reg text file) that the platform
// layer reads while the object lives, and the text of the keys the tests put in it.
//
//   testsupport::TempDir dir("keyprobe-x");
//   testsupport::TempRegistryStore store(dir.file("registry.reg"),
//       testsupport::debugLogStore("SOFTWARE\\Tests\\Dev", dir.file("io.txt")));
//   CDebugFile log("SOFTWARE\\Tests\\");   // logs device "Dev" to io.txt
#pragma once

#include <string>

#include "ScopedEnv.h"
#include "TempFiles.h"

namespace testsupport {

const char kRegistryHeader[] = "Windows Registry Editor Version 5.00\r\n";

// A string value as the store spells it between its quotes.
inline std::string regEscape(const std::string& text) {
    std::string escaped;
    for (char c : text) {
        if (c == '\\' || c == '"')
            escaped += '\\';
        escaped += c;
    }
    return escaped;
}

// A key below HKEY_LOCAL_MACHINE that switches the debug log on, into logFile.
inline std::string debugLogKey(const std::string& keyPath, const std::string& logFile) {
    return "\r\n[HKEY_LOCAL_MACHINE\\" + keyPath +
           "]\r\n\"UseDebugFile\"=dword:00000001\r\n\"DebugFile\"=\"" + regEscape(logFile) + "\"\r\n";
}

// A whole store holding only that key.
inline std::string debugLogStore(const std::string& keyPath, const std::string& logFile) {
    return kRegistryHeader + debugLogKey(keyPath, logFile);
}

// The store at path (in a folder the test owns), written with the text and named in
// IOCLASSLIB_REGISTRY until destruction.
class TempRegistryStore {
public:
    explicit TempRegistryStore(const std::string& path, const std::string& text = kRegistryHeader)
        : m_path(path), m_env("IOCLASSLIB_REGISTRY", path) {
        m_written = writeTextFile(m_path, text);
    }
    TempRegistryStore(const TempRegistryStore&) = delete;
    TempRegistryStore& operator=(const TempRegistryStore&) = delete;

    bool write(const std::string& text) { return m_written = writeTextFile(m_path, text); }
    // Whether the last write reached the file.
    bool ok() const { return m_written; }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    ScopedEnv m_env;
    bool m_written = false;
};

}  // namespace testsupport
