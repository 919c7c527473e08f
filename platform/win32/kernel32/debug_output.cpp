// OutputDebugStringA goes where IOCLASSLIB_DEBUG_OUTPUT says: unset or empty discards the
// text (no debugger listening on Windows), "stderr" writes to standard error, anything else
// is a file path the text is appended to. A debugger shows each call as one line, so a text
// that does not end in a line feed gets one here. The setting is read at every call, and a
// file is opened for each text in append mode, so several processes can share it.
//
// Debugger output is best effort and never holds up the caller: the path may name a FIFO
// (opened without waiting for a reader; with none the text is dropped), and a reader that
// is slow or has gone away costs the text, never a wait nor the process (SIGPIPE).
#include <windows.h>

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "internal/quiet_write.h"

namespace {

// Writes what the descriptor takes now; stops at the first refusal (a full pipe, a reader
// gone) and drops the rest.
void WriteWhatFits(int fd, const char* pData, size_t cbData) {
    while (cbData > 0) {
        const ssize_t cbWritten = win32::WriteWithoutSigpipe(fd, pData, cbData);
        if (cbWritten <= 0)
            return;
        pData += cbWritten;
        cbData -= (size_t)cbWritten;
    }
}

// Standard error is shared with the rest of the process and may not be switched to
// non-blocking; a pipe or socket behind it is written only when it has room now.
void WriteToStandardError(const std::string& line) {
    struct stat info;
    if (fstat(STDERR_FILENO, &info) == 0 && (S_ISFIFO(info.st_mode) || S_ISSOCK(info.st_mode))) {
        struct pollfd ready = {STDERR_FILENO, POLLOUT, 0};
        if (poll(&ready, 1, 0) != 1 || !(ready.revents & POLLOUT))
            return;
    }
    WriteWhatFits(STDERR_FILENO, line.data(), line.size());
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
        WriteToStandardError(line);
    } else {
        const int fd =
            open(pszTarget, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NONBLOCK | O_NOCTTY, 0644);
        if (fd >= 0) {
            // One write call per text keeps concurrent writers' lines whole.
            WriteWhatFits(fd, line.data(), line.size());
            close(fd);
        }
    }
    errno = nSavedErrno;
    SetLastError(dwLastError);
}
