#include "Bytes.h"

#include <cctype>

namespace termsim {

std::string toHex(const std::uint8_t* data, std::size_t length) {
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(length * 3);
    for (std::size_t i = 0; i < length; ++i) {
        if (i != 0)
            text.push_back(' ');
        text.push_back(digits[data[i] >> 4]);
        text.push_back(digits[data[i] & 0x0F]);
    }
    return text;
}

std::string toHex(const Bytes& bytes) { return toHex(bytes.data(), bytes.size()); }

static int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool parseHex(const std::string& text, Bytes& out) {
    out.clear();
    int pending = -1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == ' ' || c == ',' || c == '\t' || c == ':' || c == '-') {
            if (pending >= 0)
                return false;  // a lone digit between separators is ambiguous
            continue;
        }
        if (c == '0' && i + 1 < text.size() && (text[i + 1] == 'x' || text[i + 1] == 'X') && pending < 0) {
            ++i;
            continue;
        }
        int v = hexValue(c);
        if (v < 0)
            return false;
        if (pending < 0) {
            pending = v;
        } else {
            out.push_back(static_cast<std::uint8_t>(pending * 16 + v));
            pending = -1;
        }
    }
    return pending < 0;
}

std::uint8_t xorOf(const std::uint8_t* data, std::size_t length) {
    std::uint8_t x = 0;
    for (std::size_t i = 0; i < length; ++i)
        x ^= data[i];
    return x;
}

bool parseUnsigned(const std::string& text, unsigned long long maxValue, unsigned long long& out) {
    if (text.empty())
        return false;
    unsigned base = 10;
    std::size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    unsigned long long value = 0;
    for (; i < text.size(); ++i) {
        int digit = hexValue(text[i]);
        if (digit < 0 || static_cast<unsigned>(digit) >= base)
            return false;
        value = value * base + static_cast<unsigned>(digit);
        if (value > maxValue)
            return false;
    }
    out = value;
    return true;
}

}  // namespace termsim
