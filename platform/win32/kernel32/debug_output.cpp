// OutputDebugStringA goes where IOCLASSLIB_DEBUG_OUTPUT says: unset or empty discards the
// text (no debugger listening on Windows), "stderr" writes to standard error, anything else
// is a file path the text is appended to. A debugger shows each call as one line, so a text
// that does not end in a line feed gets one here. The setting is read at every call, and a
// file is opened for each text in append mode, so several processes can share it.
#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>

namespace {

void WriteAll(int fd, const char* pData, size_t cbData) {
    while (cbData > 0) {
        const ssize_t cbWritten = write(fd, pData, cbData);
        if (cbWritten < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        pData += cbWritten;
        cbData -= (size_t)cbWritten;
    }
}

}  // namespace

extern "C" void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
    const char* pszTarget = getenv("IOCLASSLIB_DEBUG_OUTPUT");
    if (!pszTarget || !*pszTarget || !lpOutputString)
        return;
    // Debugger output never changes the caller's last error.
    const DWORD dwLastError = GetLastError();
    const int nSavedErrno = errno;
    std::string line(lpOutputString);
    if (line.empty() || line.back() != '\n')
        line += '\n';
    if (strcmp(pszTarget, "stderr") == 0) {
        WriteAll(STDERR_FILENO, line.data(), line.size());
    } else {
        const int fd = open(pszTarget, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd >= 0) {
            // One write call per text keeps concurrent writers' lines whole.
            WriteAll(fd, line.data(), line.size());
            close(fd);
        }
    }
    errno = nSavedErrno;
    SetLastError(dwLastError);
}
