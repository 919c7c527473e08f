// The registry on Linux is the library's store file, small enough to walk whole.
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "Checks.h"
#include "HostDevices.h"

namespace keyprobecheck {

namespace {

const char kDefaultStore[] = "/etc/ioclasslib/registry.reg";

// What a path that exists names when it is not a regular file ("a FIFO", "a directory",
// ...); empty for a regular file or a path that does not exist.
std::string FileKind(const std::string& path) {
    struct stat info;
    if (stat(path.c_str(), &info) != 0 || S_ISREG(info.st_mode))
        return "";
    if (S_ISDIR(info.st_mode))
        return "a directory";
    if (S_ISFIFO(info.st_mode))
        return "a FIFO";
    if (S_ISCHR(info.st_mode))
        return "a character device";
    if (S_ISBLK(info.st_mode))
        return "a block device";
    if (S_ISSOCK(info.st_mode))
        return "a socket";
    return "no regular file";
}

long long FileSize(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 ? (long long)info.st_size : 0;
}

// What the library makes of the store: read, missing, or why it cannot be used.
std::string StoreState(const std::string& path, LONG lLoaded) {
    switch (lLoaded) {
    case ERROR_SUCCESS: return "read";
    case ERROR_FILE_NOT_FOUND: return "missing, so every debug log is off";
    case ERROR_BADDB: {
        const std::string kind = FileKind(path);
        if (!kind.empty())
            return "is " + kind + ", not a file: the library does not read it, so every debug log is off";
        return "malformed (or too large: " + std::to_string(FileSize(path)) +
               " bytes), so no key opens and every debug log is off";
    }
    default: return "cannot be read: " + SystemMessage((DWORD)lLoaded) + ", so every debug log is off";
    }
}

}  // namespace

bool ListsEveryDebugLogSwitch() { return true; }

void DescribeRegistry(LONG lOpened, RegistryCheck& check) {
    const char* pszStore = getenv("IOCLASSLIB_REGISTRY");
    check.bFromEnvironment = pszStore != NULL && *pszStore != '\0';
    check.path = check.bFromEnvironment ? pszStore : kDefaultStore;
    check.origin = check.bFromEnvironment ? "from IOCLASSLIB_REGISTRY"
                                          : "the default; IOCLASSLIB_REGISTRY names another";
    check.state = StoreState(check.path, lOpened);

    const char* pszOutput = getenv("IOCLASSLIB_DEBUG_OUTPUT");
    if (pszOutput == NULL || *pszOutput == '\0')
        check.debugOutput = "discarded";
    else if (strcmp(pszOutput, "stderr") == 0)
        check.debugOutput = "standard error";
    else
        check.debugOutput = std::string("appended to ") + pszOutput;
}

}  // namespace keyprobecheck
