// Byte strings and their hex text, shared by every part of the simulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace termsim {

using Bytes = std::vector<std::uint8_t>;

// "05 04 16 17": two upper-case digits per byte, one blank between bytes.
std::string toHex(const Bytes& bytes);
std::string toHex(const std::uint8_t* data, std::size_t length);

// Accepts "05 04 16 17", "05041617", "0x05,0x04" and mixes of them; false on an odd
// digit count or a character that is neither a hex digit nor a separator.
bool parseHex(const std::string& text, Bytes& out);

std::uint8_t xorOf(const std::uint8_t* data, std::size_t length);
inline std::uint8_t xorOf(const Bytes& bytes) { return xorOf(bytes.data(), bytes.size()); }

// Numbers on the command line: decimal or 0x-prefixed hex, nothing trailing.
bool parseUnsigned(const std::string& text, unsigned long long maxValue, unsigned long long& out);

}  // namespace termsim
