// Where a virtual device server listens: a Unix socket path of its own.
#pragma once

#include <sys/un.h>

#include <string>

namespace termsim {

// $TMPDIR/termsim-KIND-PID.sock, or in /tmp without TMPDIR.
std::string defaultSocketPath(const char* kind);

// Fills address for path so that a server can bind there. A socket file left by an earlier
// run is removed; a socket another server still listens on, or anything at the path that is
// no socket, is left alone and refused with the reason in error.
bool claimSocketPath(const std::string& path, sockaddr_un& address, std::string& error);

}  // namespace termsim
