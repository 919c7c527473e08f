// The JSON strings of keyprobe-check --json: always valid JSON text (UTF-8, control
// characters escaped), and lossless for bytes that are not UTF-8.
#include <gtest/gtest.h>

#include <stdlib.h>

#include <string>

#include "Json.h"

namespace {

// The inverse a script applies: \udcXX gives back byte XX, other escapes their character.
std::string Decoded(const std::string& json) {
    std::string bytes;
    for (size_t i = 1; i + 1 < json.size(); ++i) {
        if (json[i] != '\\') {
            bytes += json[i];
            continue;
        }
        const char c = json[++i];
        if (c == 'u') {
            const unsigned long unit = strtoul(json.substr(i + 1, 4).c_str(), nullptr, 16);
            bytes += (char)(unit >= 0xDC80 && unit <= 0xDCFF ? unit - 0xDC00 : unit);
            i += 4;
        } else {
            bytes += c == 'n' ? '\n' : c == 'r' ? '\r' : c == 't' ? '\t' : c;
        }
    }
    return bytes;
}

TEST(JsonString, EscapesWhatJsonRequiresAndEveryByteThatIsNotUtf8) {
    const struct {
        const char* name;
        std::string bytes;
        std::string json;
    } rows[] = {
        {"plain", "/dev/ttyUSB0", "\"/dev/ttyUSB0\""},
        {"quote and backslash", "a\"b\\c", "\"a\\\"b\\\\c\""},
        {"control characters", std::string("\n\r\t\x01\x1f\x7f", 6), "\"\\n\\r\\t\\u0001\\u001f\x7f\""},
        {"NUL", std::string("a\0b", 3), "\"a\\u0000b\""},
        {"valid UTF-8 of 2, 3 and 4 bytes", "\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80",
         "\"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80\""},
        {"a Latin-1 name", "bad\xffname.ini", "\"bad\\udcffname.ini\""},
        {"a lone continuation byte", "\x80", "\"\\udc80\""},
        {"a sequence cut short at the end", "x\xE2\x82", "\"x\\udce2\\udc82\""},
        {"a lead byte followed by ASCII", "\xC3(", "\"\\udcc3(\""},
        {"an overlong slash", "\xC0\xAF", "\"\\udcc0\\udcaf\""},
        {"an overlong three-byte form", "\xE0\x80\xAF", "\"\\udce0\\udc80\\udcaf\""},
        {"a UTF-8 encoded surrogate", "\xED\xA0\x80", "\"\\udced\\udca0\\udc80\""},
        {"above U+10FFFF", "\xF4\x90\x80\x80", "\"\\udcf4\\udc90\\udc80\\udc80\""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(keyprobecheck::JsonString(row.bytes), row.json) << row.name;
        EXPECT_EQ(Decoded(keyprobecheck::JsonString(row.bytes)), row.bytes) << row.name << ": not lossless";
    }
}

}  // namespace
