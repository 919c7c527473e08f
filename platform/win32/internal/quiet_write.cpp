#include "internal/quiet_write.h"

#include <errno.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

namespace win32 {

ssize_t WriteWithoutSigpipe(int fd, const void* pData, size_t cbData) {
    // SIGPIPE is held back for this thread during the write; one the write raises is taken
    // away again, unless one was already waiting for the program before.
    sigset_t pipeOnly, saved, pending;
    sigemptyset(&pipeOnly);
    sigaddset(&pipeOnly, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipeOnly, &saved);
    sigpending(&pending);
    const bool bWasPending = sigismember(&pending, SIGPIPE) == 1;

    ssize_t cbWritten;
    do
        cbWritten = write(fd, pData, cbData);
    while (cbWritten < 0 && errno == EINTR);
    const int nErrno = errno;

    if (cbWritten < 0 && nErrno == EPIPE && !bWasPending) {
        const struct timespec noWait = {0, 0};
        while (sigtimedwait(&pipeOnly, nullptr, &noWait) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    errno = nErrno;
    return cbWritten;
}

}  // namespace win32
