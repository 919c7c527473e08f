// Test helper: byte strings and their hex text ("05 04 16 17"), parsed and printed here
// independently of the code under test. Header-only.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

namespace testsupport {

using ByteVec = std::vector<std::uint8_t>;

inline std::string bytesToHex(const ByteVec& bytes) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i)
            text += ' ';
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 15];
    }
    return text;
}

// "05 04 16 17" -> bytes; ok is false on anything but hex pairs separated by blanks.
inline ByteVec hexToBytes(const std::string& text, bool* ok = nullptr) {
    ByteVec bytes;
    bool good = true;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        if (word.size() != 2) {
            good = false;
            break;
        }
        char* end = nullptr;
        unsigned long v = std::strtoul(word.c_str(), &end, 16);
        if (*end != '\0') {
            good = false;
            break;
        }
        bytes.push_back(static_cast<std::uint8_t>(v));
    }
    if (ok)
        *ok = good;
    return bytes;
}

// Hex text written out in a test; a slip in it fails the test instead of testing less.
inline ByteVec hex(const char* text) {
    bool ok = false;
    ByteVec bytes = hexToBytes(text, &ok);
    EXPECT_TRUE(ok) << text;
    return bytes;
}

}  // namespace testsupport
