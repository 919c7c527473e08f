// Test helper: temporary folders that clean up after themselves, and whole-file reads and
// writes. Header-only; standard C++ and POSIX only, so it also serves test files that
// include <windows.h>.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

namespace testsupport {

// A fresh folder under $TMPDIR (or /tmp), removed with its contents on destruction.
// path() is empty when the folder could not be made.
class TempDir {
public:
    explicit TempDir(const std::string& prefix = "kp-test") {
        const char* base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
        std::vector<char> buffer(pattern.begin(), pattern.end());
        buffer.push_back('\0');
        if (mkdtemp(buffer.data()) != nullptr)
            m_path = buffer.data();
    }
    ~TempDir() { remove(); }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

    // Removes the folder and its contents now; false if anything stayed behind.
    bool remove() {
        if (m_removed || m_path.empty())
            return true;
        m_removed = true;
        std::error_code ec;
        std::filesystem::remove_all(m_path, ec);
        return !ec;
    }

private:
    std::string m_path;
    bool m_removed = false;
};

inline bool writeTextFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out);
}

inline std::string readTextFile(const std::string& path, bool* exists = nullptr) {
    std::ifstream in(path, std::ios::binary);
    if (exists)
        *exists = static_cast<bool>(in);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

}  // namespace testsupport
