#include "SocketPath.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace termsim {

std::string defaultSocketPath(const char* kind) {
    const char* folder = std::getenv("TMPDIR");
    return std::string(folder && *folder ? folder : "/tmp") + "/termsim-" + kind + "-" +
           std::to_string(static_cast<long>(getpid())) + ".sock";
}

bool claimSocketPath(const std::string& path, sockaddr_un& address, std::string& error) {
    address = sockaddr_un{};
    if (path.size() >= sizeof(address.sun_path)) {
        error = "socket path too long (at most " + std::to_string(sizeof(address.sun_path) - 1) +
                " characters): " + path;
        return false;
    }
    address.sun_family = AF_UNIX;
    std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
    struct stat info;
    if (lstat(path.c_str(), &info) != 0)
        return true;
    if (!S_ISSOCK(info.st_mode)) {
        error = "not a socket, left alone: " + path;
        return false;
    }
    const int probe = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    const bool served =
        probe >= 0 && connect(probe, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (probe >= 0)
        close(probe);
    if (served) {
        error = "another server listens on " + path;
        return false;
    }
    unlink(path.c_str());
    return true;
}

}  // namespace termsim
