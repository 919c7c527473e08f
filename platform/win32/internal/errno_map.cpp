#include "internal/errno_map.h"

#include <errno.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <mutex>
#include <set>
#include <string>

namespace win32 {

namespace {

struct ErrnoMapping {
    int nErrno;
    DWORD dwWin32Error;
};

// The codes Windows gives for the same condition. EEXIST is CREATE_NEW's
// ERROR_FILE_EXISTS; MoveFile reports ERROR_ALREADY_EXISTS on its own.
const ErrnoMapping kErrnoTable[] = {
    {0, ERROR_SUCCESS},
    {EPERM, ERROR_ACCESS_DENIED},
    {ENOENT, ERROR_FILE_NOT_FOUND},
    {ESRCH, ERROR_INVALID_HANDLE},
    {EINTR, ERROR_OPERATION_ABORTED},
    {EIO, ERROR_GEN_FAILURE},
    {ENXIO, ERROR_FILE_NOT_FOUND},
    {E2BIG, ERROR_INVALID_PARAMETER},
    {EBADF, ERROR_INVALID_HANDLE},
    {EAGAIN, ERROR_BUSY},
    {ENOMEM, ERROR_NOT_ENOUGH_MEMORY},
    {EACCES, ERROR_ACCESS_DENIED},
    {EFAULT, ERROR_NOACCESS},
    {EBUSY, ERROR_BUSY},
    {EEXIST, ERROR_FILE_EXISTS},
    {EXDEV, ERROR_NOT_SAME_DEVICE},
    {ENODEV, ERROR_DEV_NOT_EXIST},
    {ENOTDIR, ERROR_PATH_NOT_FOUND},
    {EISDIR, ERROR_ACCESS_DENIED},
    {EINVAL, ERROR_INVALID_PARAMETER},
    {ENFILE, ERROR_TOO_MANY_OPEN_FILES},
    {EMFILE, ERROR_TOO_MANY_OPEN_FILES},
    {ENOTTY, ERROR_INVALID_FUNCTION},
    {ETXTBSY, ERROR_SHARING_VIOLATION},
    {EFBIG, ERROR_FILE_TOO_LARGE},
    {ENOSPC, ERROR_DISK_FULL},
    {ESPIPE, ERROR_SEEK},
    {EROFS, ERROR_WRITE_PROTECT},
    {EPIPE, ERROR_BROKEN_PIPE},
    {EDEADLK, ERROR_POSSIBLE_DEADLOCK},
    {ENAMETOOLONG, ERROR_FILENAME_EXCED_RANGE},
    {ENOLCK, ERROR_SHARING_BUFFER_EXCEEDED},
    {ENOSYS, ERROR_CALL_NOT_IMPLEMENTED},
    {ENOTEMPTY, ERROR_DIR_NOT_EMPTY},
    {ELOOP, ERROR_PATH_NOT_FOUND},
    {ENODATA, ERROR_NO_DATA},
    {EOVERFLOW, ERROR_ARITHMETIC_OVERFLOW},
    {ENOTCONN, ERROR_PIPE_NOT_CONNECTED},
    {ECONNRESET, ERROR_BROKEN_PIPE},
    {ESHUTDOWN, ERROR_BROKEN_PIPE},
    {ENOBUFS, ERROR_NO_SYSTEM_RESOURCES},
    {ETIMEDOUT, ERROR_SEM_TIMEOUT},
    {ECANCELED, ERROR_OPERATION_ABORTED},
    {EOPNOTSUPP, ERROR_NOT_SUPPORTED},
    {ENOMEDIUM, ERROR_NOT_READY},
};

// An errno the table lacks is a gap in this layer, not the caller's fault: it is said once
// per errno on the debugger output, as a missing piece should be, and reported onwards as
// the generic failure.
void ReportUnmapped(int nErrno) {
    static std::mutex lock;
    static std::set<int> reported;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!reported.insert(nErrno).second)
            return;
    }
    char szText[160];
    snprintf(szText, sizeof(szText),
             "win32: errno %d (%s) has no Win32 error code; reported as ERROR_GEN_FAILURE", nErrno,
             strerrorname_np(nErrno) ? strerrorname_np(nErrno) : "unknown");
    OutputDebugStringA(szText);
}

}  // namespace

DWORD Win32ErrorFromErrno(int nErrno) {
    for (const ErrnoMapping& mapping : kErrnoTable)
        if (mapping.nErrno == nErrno)
            return mapping.dwWin32Error;
    ReportUnmapped(nErrno);
    return ERROR_GEN_FAILURE;
}

void SetLastErrorFromErrno(int nErrno) { ::SetLastError(Win32ErrorFromErrno(nErrno)); }

DWORD MissingFileError(const char* pszPath) {
    std::string directory(pszPath);
    const size_t nSlash = directory.rfind('/');
    if (nSlash == std::string::npos)
        return ERROR_FILE_NOT_FOUND;
    directory.resize(nSlash == 0 ? 1 : nSlash);
    struct stat info;
    return stat(directory.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? ERROR_FILE_NOT_FOUND
                                                                        : ERROR_PATH_NOT_FOUND;
}

}  // namespace win32
