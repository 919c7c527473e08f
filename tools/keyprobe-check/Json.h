// JSON text for keyprobe-check's --json output.
#pragma once

#include <string>

namespace keyprobecheck {

// bytes as a quoted JSON string. Valid UTF-8 passes as it is; each byte that is not part
// of a valid UTF-8 sequence (a file name in another encoding) becomes \udcXX, XX being
// the byte: a lone low surrogate, which no valid UTF-8 yields, so the bytes can be
// recovered exactly (Python's 'surrogateescape').
std::string JsonString(const std::string& bytes);

}  // namespace keyprobecheck
