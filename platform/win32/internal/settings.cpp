#include "internal/settings.h"

#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <mutex>
#include <set>

#include "internal/quiet_write.h"

namespace win32 {

void ReportUnusableSetting(const char* pszName, const std::string& value, const std::string& why) {
    static std::mutex mutex;
    static std::set<std::string>* reported = new std::set<std::string>;
    const std::string setting = std::string(pszName) + "=" + value;
    {
        std::lock_guard<std::mutex> lock(mutex);
        if (!reported->insert(setting).second)
            return;
    }
    const int nSavedErrno = errno;
    const std::string line = setting + ": " + why + "\n";
    WriteWithoutSigpipe(STDERR_FILENO, line.data(), line.size());
    errno = nSavedErrno;
}

void ReportUnusableSocketSetting(const char* pszName, const char* pszPath, int nErrno) {
    struct stat info;
    std::string what;
    if (lstat(pszPath, &info) != 0)
        what = errno == ENOENT ? "there is no such file" : strerror(errno);
    else if (S_ISDIR(info.st_mode))
        what = "it is a directory, not termsim's socket";
    else if (S_ISREG(info.st_mode))
        what = "it is a regular file, not termsim's socket";
    else if (S_ISFIFO(info.st_mode))
        what = "it is a FIFO, not termsim's socket";
    else if (!S_ISSOCK(info.st_mode))
        what = "it is no socket";
    else if (nErrno == ECONNREFUSED)
        what = "no program listens on it (has termsim ended?)";
    else
        what = strerror(nErrno);
    ReportUnusableSetting(pszName, pszPath, what + "; its virtual devices are not listed");
}

}  // namespace win32
