#include "Json.h"

#include <stdio.h>

namespace keyprobecheck {

namespace {

bool IsContinuation(unsigned char c) { return (c & 0xC0) == 0x80; }

// The length of the valid UTF-8 sequence at s[i], or 0 when the byte there does not start
// one: no overlong forms, no surrogates, nothing above U+10FFFF.
size_t Utf8SequenceLength(const std::string& s, size_t i) {
    const unsigned char c = (unsigned char)s[i];
    size_t n = 0;
    unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        n = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0)
            lo = 0xA0;
        else if (c == 0xED)
            hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0)
            lo = 0x90;
        else if (c == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (i + n > s.size())
        return 0;
    const unsigned char second = (unsigned char)s[i + 1];
    if (second < lo || second > hi)
        return 0;
    for (size_t k = 2; k < n; ++k)
        if (!IsContinuation((unsigned char)s[i + k]))
            return 0;
    return n;
}

void AppendEscape(std::string& out, unsigned nCodeUnit) {
    char sz[8];
    snprintf(sz, sizeof(sz), "\\u%04x", nCodeUnit);
    out += sz;
}

}  // namespace

std::string JsonString(const std::string& bytes) {
    std::string out = "\"";
    for (size_t i = 0; i < bytes.size();) {
        const unsigned char c = (unsigned char)bytes[i];
        if (c >= 0x80) {
            const size_t n = Utf8SequenceLength(bytes, i);
            if (n == 0) {
                AppendEscape(out, 0xDC00u + c);
                ++i;
            } else {
                out.append(bytes, i, n);
                i += n;
            }
            continue;
        }
        switch (c) {
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        case '\t': out += "\\t"; break;
        default:
            if (c < 0x20)
                AppendEscape(out, c);
            else
                out += (char)c;
        }
        ++i;
    }
    return out + "\"";
}

}  // namespace keyprobecheck
