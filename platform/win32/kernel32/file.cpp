// Files: CreateFileA and the calls on its handles.
//
// Differences from Windows that are reproduced here:
//  - share modes are enforced between all handles of all processes (internal/share_mode.h),
//    checked before anything is truncated, as Windows checks them;
//  - CREATE_ALWAYS and OPEN_ALWAYS report ERROR_ALREADY_EXISTS on success when the file was
//    there; a missing directory gives ERROR_PATH_NOT_FOUND, a missing file
//    ERROR_FILE_NOT_FOUND;
//  - ReadFile on a regular file returns the whole count unless the file ends first, and an
//    overlapped read at the end fails with ERROR_HANDLE_EOF;
//  - "COMn", "\\.\COMn" and terminal devices go to the serial backend
//    (internal/comm_device.h), other "\\.\" and "\\?\" names to registered device
//    namespaces (internal/device_namespace.h).
#include "internal/comm_device.h"
#include "internal/device_namespace.h"
#include "internal/errno_map.h"
#include "internal/handle.h"
#include "internal/quiet_write.h"
#include "internal/share_mode.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <string>

namespace win32 {

namespace {

class FileObject : public KernelObject {
public:
    // A read or write with an OVERLAPPED is positioned at its offset and completes before
    // it returns, whether or not the file was opened for overlapped I/O.
    FileObject(int fd, int fdShare, DWORD dwAccess, bool bRegular, std::string deletePath)
        : m_fd(fd),
          m_fdShare(fdShare),
          m_dwAccess(dwAccess),
          m_bRegular(bRegular),
          m_deleteOnClose(std::move(deletePath)) {}

    ~FileObject() override {
        if (!m_deleteOnClose.empty())
            unlink(m_deleteOnClose.c_str());
        close(m_fd);
        if (m_fdShare >= 0)
            close(m_fdShare);  // withdraws the share mode
    }

    BOOL Read(LPVOID pBuffer, DWORD dwToRead, LPDWORD pdwRead, LPOVERLAPPED pOverlapped) override {
        if (!(m_dwAccess & kShareAccessRead))
            return Fail(pOverlapped, ERROR_ACCESS_DENIED);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (pOverlapped && !MoveTo(OffsetOf(pOverlapped)))
            return Fail(pOverlapped, ::GetLastError());
        DWORD dwDone = 0;
        while (dwDone < dwToRead) {
            const ssize_t cbRead = read(m_fd, (char*)pBuffer + dwDone, dwToRead - dwDone);
            if (cbRead < 0) {
                if (errno == EINTR)
                    continue;
                const int nErrno = errno;
                if (dwDone > 0)
                    break;
                return Fail(pOverlapped, Win32ErrorFromErrno(nErrno));
            }
            if (cbRead == 0)
                break;
            dwDone += (DWORD)cbRead;
            // Pipes and devices give what they have, as ReadFile does on them.
            if (!m_bRegular)
                break;
        }
        if (pdwRead)
            *pdwRead = dwDone;
        if (pOverlapped) {
            if (dwDone == 0 && dwToRead > 0 && m_bRegular)
                return Fail(pOverlapped, ERROR_HANDLE_EOF);
            CompleteOverlapped(pOverlapped, ERROR_SUCCESS, dwDone);
        }
        return TRUE;
    }

    BOOL Write(LPCVOID pBuffer, DWORD dwToWrite, LPDWORD pdwWritten, LPOVERLAPPED pOverlapped) override {
        if (!(m_dwAccess & kShareAccessWrite))
            return Fail(pOverlapped, ERROR_ACCESS_DENIED);
        std::lock_guard<std::mutex> lock(m_mutex);
        if (pOverlapped) {
            // Offset and OffsetHigh both 0xFFFFFFFF mean "at the end of the file".
            const bool bAppend = pOverlapped->Offset == 0xFFFFFFFFu && pOverlapped->OffsetHigh == 0xFFFFFFFFu;
            const bool bMoved = bAppend ? lseek(m_fd, 0, SEEK_END) >= 0 : MoveTo(OffsetOf(pOverlapped));
            if (!bMoved)
                return Fail(pOverlapped, bAppend ? Win32ErrorFromErrno(errno) : ::GetLastError());
        }
        DWORD dwDone = 0;
        while (dwDone < dwToWrite) {
            const char* pFrom = (const char*)pBuffer + dwDone;
            const ssize_t cbWritten = m_bRegular ? write(m_fd, pFrom, dwToWrite - dwDone)
                                                 : WriteWithoutSigpipe(m_fd, pFrom, dwToWrite - dwDone);
            if (cbWritten < 0) {
                if (errno == EINTR)
                    continue;
                const int nErrno = errno;
                if (pdwWritten)
                    *pdwWritten = dwDone;
                return Fail(pOverlapped, Win32ErrorFromErrno(nErrno));
            }
            dwDone += (DWORD)cbWritten;
        }
        if (pdwWritten)
            *pdwWritten = dwDone;
        if (pOverlapped)
            CompleteOverlapped(pOverlapped, ERROR_SUCCESS, dwDone);
        return TRUE;
    }

    BOOL CancelIo() override { return TRUE; }  // every request completes before it returns

    BOOL Flush() override {
        if (fsync(m_fd) != 0 && errno != EINVAL && errno != EROFS)
            return FailErrno();
        return TRUE;
    }

    BOOL Seek(LONGLONG llDistance, DWORD dwMethod, LONGLONG* pllNewPosition) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        off_t base = 0;
        if (dwMethod == FILE_CURRENT) {
            base = lseek(m_fd, 0, SEEK_CUR);
        } else if (dwMethod == FILE_END) {
            struct stat info;
            base = fstat(m_fd, &info) == 0 ? info.st_size : -1;
        }
        if (base < 0)
            return FailErrno();
        LONGLONG llTarget;
        if (__builtin_add_overflow((LONGLONG)base, llDistance, &llTarget)) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
        }
        if (llTarget < 0) {
            ::SetLastError(ERROR_NEGATIVE_SEEK);
            return FALSE;
        }
        if (!MoveTo((ULONGLONG)llTarget))
            return FALSE;
        if (pllNewPosition)
            *pllNewPosition = llTarget;
        return TRUE;
    }

    BOOL GetSize(LONGLONG* pllSize) override {
        struct stat info;
        if (fstat(m_fd, &info) != 0)
            return FailErrno();
        *pllSize = info.st_size;
        return TRUE;
    }

    // The identity and attributes Windows gives a file handle. The volume serial number
    // and the file index are the device and inode, so two handles name one file exactly
    // when both agree, whatever path or link either was opened by.
    BOOL GetInformation(LPBY_HANDLE_FILE_INFORMATION pInfo) {
        struct stat info;
        if (fstat(m_fd, &info) != 0)
            return FailErrno();
        memset(pInfo, 0, sizeof(*pInfo));
        DWORD dwAttributes = S_ISDIR(info.st_mode) ? FILE_ATTRIBUTE_DIRECTORY : 0;
        if (!(info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)))
            dwAttributes |= FILE_ATTRIBUTE_READONLY;
        pInfo->dwFileAttributes = dwAttributes != 0 ? dwAttributes : FILE_ATTRIBUTE_NORMAL;
        pInfo->ftCreationTime = FileTimeOf(info.st_ctim);
        pInfo->ftLastAccessTime = FileTimeOf(info.st_atim);
        pInfo->ftLastWriteTime = FileTimeOf(info.st_mtim);
        const ULONGLONG ullDevice = (ULONGLONG)info.st_dev;
        pInfo->dwVolumeSerialNumber = (DWORD)(ullDevice ^ (ullDevice >> 32));
        pInfo->nFileSizeHigh = (DWORD)((ULONGLONG)info.st_size >> 32);
        pInfo->nFileSizeLow = (DWORD)((ULONGLONG)info.st_size & 0xFFFFFFFFu);
        pInfo->nNumberOfLinks = (DWORD)info.st_nlink;
        pInfo->nFileIndexHigh = (DWORD)((ULONGLONG)info.st_ino >> 32);
        pInfo->nFileIndexLow = (DWORD)((ULONGLONG)info.st_ino & 0xFFFFFFFFu);
        return TRUE;
    }

    BOOL SetEnd() override {
        if (!(m_dwAccess & kShareAccessWrite)) {
            ::SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        const off_t position = lseek(m_fd, 0, SEEK_CUR);
        if (position < 0 || ftruncate(m_fd, position) != 0)
            return FailErrno();
        return TRUE;
    }

private:
    static ULONGLONG OffsetOf(LPOVERLAPPED pOverlapped) {
        return ((ULONGLONG)pOverlapped->OffsetHigh << 32) | pOverlapped->Offset;
    }

    bool MoveTo(ULONGLONG ullOffset) {
        if (ullOffset > (ULONGLONG)INT64_MAX) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return false;
        }
        if (lseek(m_fd, (off_t)ullOffset, SEEK_SET) < 0) {
            SetLastErrorFromErrno(errno);
            return false;
        }
        return true;
    }

    static BOOL Fail(LPOVERLAPPED pOverlapped, DWORD dwError) {
        if (pOverlapped)
            CompleteOverlapped(pOverlapped, dwError, 0);
        ::SetLastError(dwError);
        return FALSE;
    }

    // 100 ns steps since 1601-01-01.
    static FILETIME FileTimeOf(const struct timespec& ts) {
        const ULONGLONG kEpochDifference = 11644473600ULL;
        const ULONGLONG ull =
            ((ULONGLONG)ts.tv_sec + kEpochDifference) * 10000000ULL + (ULONGLONG)ts.tv_nsec / 100;
        FILETIME ft;
        ft.dwLowDateTime = (DWORD)(ull & 0xFFFFFFFFu);
        ft.dwHighDateTime = (DWORD)(ull >> 32);
        return ft;
    }

    static BOOL FailErrno() {
        SetLastErrorFromErrno(errno);
        return FALSE;
    }

    const int m_fd;
    const int m_fdShare;  // holds the share-mode locks, or -1
    const DWORD m_dwAccess;
    const bool m_bRegular;
    const std::string m_deleteOnClose;
    std::mutex m_mutex;  // keeps a positioned transfer's seek and transfer together
};

bool StartsWithNoCase(const char* psz, const char* pszPrefix) {
    return strncasecmp(psz, pszPrefix, strlen(pszPrefix)) == 0;
}

// "COMn" or "\\.\COMn" (any case, n from 1 to 256): n, else 0.
int ComPortNumber(const char* pszName) {
    if (strncmp(pszName, "\\\\.\\", 4) == 0)
        pszName += 4;
    if (!StartsWithNoCase(pszName, "COM"))
        return 0;
    const char* pszDigits = pszName + 3;
    if (*pszDigits < '1' || *pszDigits > '9')
        return 0;
    int nPort = 0;
    for (const char* p = pszDigits; *p; ++p) {
        if (!isdigit((unsigned char)*p) || p - pszDigits >= 3)
            return 0;
        nPort = nPort * 10 + (*p - '0');
    }
    return nPort <= 256 ? nPort : 0;
}

// As Wine's dosdevices: $IOCLASSLIB_DOSDEVICES/comN when set, else /dev/ttyS<N-1>.
std::string ComDevicePath(int nPort) {
    char szPath[64];
    const char* pszFolder = getenv("IOCLASSLIB_DOSDEVICES");
    if (pszFolder && *pszFolder) {
        snprintf(szPath, sizeof(szPath), "/com%d", nPort);
        return std::string(pszFolder) + szPath;
    }
    snprintf(szPath, sizeof(szPath), "/dev/ttyS%d", nPort - 1);
    return szPath;
}

// Whether a character device is a terminal, without opening it (opening a serial port
// raises its modem lines): the kernel files every terminal but pseudo-terminal slaves under
// the tty class in sysfs. Without sysfs the device is opened and asked.
bool IsTerminalDevice(const char* pszPath, const struct stat& info) {
    const unsigned nMajor = major(info.st_rdev);
    if (IsPseudoTerminalSlaveMajor(nMajor))
        return true;
    struct stat sysfs;
    if (stat("/sys/dev/char", &sysfs) == 0) {
        char szLink[96];
        snprintf(szLink, sizeof(szLink), "/sys/dev/char/%u:%u/subsystem", nMajor, minor(info.st_rdev));
        char szTarget[256];
        const ssize_t cbTarget = readlink(szLink, szTarget, sizeof(szTarget) - 1);
        if (cbTarget <= 0)
            return false;
        szTarget[cbTarget] = '\0';
        const char* pszClass = strrchr(szTarget, '/');
        return pszClass && strcmp(pszClass, "/tty") == 0;
    }
    const int fd = open(pszPath, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool bTerminal = isatty(fd) != 0;
    close(fd);
    return bTerminal;
}

DWORD OpenErrorFromErrno(int nErrno, const char* pszPath) {
    return nErrno == ENOENT ? MissingFileError(pszPath) : Win32ErrorFromErrno(nErrno);
}

HANDLE OpenFile(const char* pszPath, DWORD dwDesiredAccess, DWORD dwShareMode, DWORD dwCreationDisposition,
                DWORD dwFlagsAndAttributes) {
    const DWORD dwAccess = ShareAccessOf(dwDesiredAccess);
    // O_NONBLOCK so that opening a FIFO never waits for its other side (see below).
    int nFlags = O_CLOEXEC | O_NOCTTY | O_NONBLOCK;
    if ((dwAccess & kShareAccessRead) && (dwAccess & kShareAccessWrite))
        nFlags |= O_RDWR;
    else if (dwAccess & kShareAccessWrite)
        nFlags |= O_WRONLY;
    else
        nFlags |= O_RDONLY;
    if (dwFlagsAndAttributes & FILE_FLAG_WRITE_THROUGH)
        nFlags |= O_DSYNC;

    bool bCreate = false, bMayCreate = false, bTruncate = false;
    switch (dwCreationDisposition) {
    case CREATE_NEW: bCreate = true; break;
    case CREATE_ALWAYS:
        bMayCreate = true;
        bTruncate = true;
        break;
    case OPEN_EXISTING: break;
    case OPEN_ALWAYS: bMayCreate = true; break;
    case TRUNCATE_EXISTING:
        if (!(dwAccess & kShareAccessWrite)) {
            ::SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
        }
        bTruncate = true;
        break;
    default: ::SetLastError(ERROR_INVALID_PARAMETER); return INVALID_HANDLE_VALUE;
    }
    const mode_t mode = (dwFlagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;

    // Create exclusively first, so that we know whether the file was there: Windows says so
    // with ERROR_ALREADY_EXISTS, and must not truncate before the share check.
    int fd = -1;
    bool bExisted = true;
    for (int nAttempt = 0; fd < 0 && nAttempt < 100; ++nAttempt) {
        if (bCreate || bMayCreate) {
            fd = open(pszPath, nFlags | O_CREAT | O_EXCL, mode);
            if (fd >= 0) {
                bExisted = false;
                break;
            }
            if (errno != EEXIST || bCreate)
                break;
        }
        fd = open(pszPath, nFlags);
        if (fd < 0 && errno == ENOENT && bMayCreate)
            continue;  // removed meanwhile
        break;
    }
    if (fd < 0) {
        ::SetLastError(OpenErrorFromErrno(errno, pszPath));
        return INVALID_HANDLE_VALUE;
    }
    struct stat info;
    if (fstat(fd, &info) != 0) {
        SetLastErrorFromErrno(errno);
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    if (S_ISDIR(info.st_mode) && !(dwFlagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS)) {
        close(fd);
        ::SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    const bool bRegular = S_ISREG(info.st_mode);
    // A FIFO's writer never waits for its reader, as a log written into one must not stop
    // the program: with no reader the open has failed (ENXIO) and what a slow reader has
    // no room for fails the write. Everything else blocks as usual.
    if (!(S_ISFIFO(info.st_mode) && (dwAccess & kShareAccessWrite)))
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    const int fdShare = bRegular ? AcquireShareMode(fd, dwAccess, dwShareMode) : kNoShareDescriptor;
    if (fdShare == kShareRefused) {
        close(fd);
        return INVALID_HANDLE_VALUE;
    }
    if (bTruncate && bExisted && bRegular && ftruncate(fd, 0) != 0) {
        SetLastErrorFromErrno(errno);
        close(fd);
        if (fdShare >= 0)
            close(fdShare);
        return INVALID_HANDLE_VALUE;
    }
    std::string deletePath;
    if (dwFlagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE)
        deletePath = pszPath;
    HANDLE h = InsertHandle(std::make_shared<FileObject>(fd, fdShare, dwAccess, bRegular, deletePath));
    if (!h)
        return INVALID_HANDLE_VALUE;  // the object closed the descriptor
    ::SetLastError(bExisted &&
                           (dwCreationDisposition == CREATE_ALWAYS || dwCreationDisposition == OPEN_ALWAYS)
                       ? ERROR_ALREADY_EXISTS
                       : ERROR_SUCCESS);
    return h;
}

}  // namespace

}  // namespace win32

using namespace win32;

extern "C" HANDLE WINAPI CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                                     LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                                     DWORD dwFlagsAndAttributes, HANDLE) {
    if (!lpFileName || !*lpFileName) {
        ::SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (const int nPort = ComPortNumber(lpFileName)) {
        return OpenCommDevice(ComDevicePath(nPort).c_str(), dwDesiredAccess, dwFlagsAndAttributes);
    }
    if (strncmp(lpFileName, "\\\\.\\", 4) == 0 || strncmp(lpFileName, "\\\\?\\", 4) == 0) {
        return OpenRegisteredDevice(DeviceOpenRequest{lpFileName, dwDesiredAccess, dwShareMode,
                                                      dwCreationDisposition, dwFlagsAndAttributes});
    }
    struct stat info;
    if (stat(lpFileName, &info) == 0 && S_ISCHR(info.st_mode) && IsTerminalDevice(lpFileName, info)) {
        return OpenCommDevice(lpFileName, dwDesiredAccess, dwFlagsAndAttributes);
    }
    return OpenFile(lpFileName, dwDesiredAccess, dwShareMode, dwCreationDisposition, dwFlagsAndAttributes);
}

extern "C" BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                                LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<KernelObject> object =
        StartRequest(hFile, lpNumberOfBytesRead, lpOverlapped, !lpBuffer && nNumberOfBytesToRead > 0);
    if (!object)
        return FALSE;
    return object->Read(lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

extern "C" BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                                 LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    std::shared_ptr<KernelObject> object =
        StartRequest(hFile, lpNumberOfBytesWritten, lpOverlapped, !lpBuffer && nNumberOfBytesToWrite > 0);
    if (!object)
        return FALSE;
    return object->Write(lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped);
}

// With a high part the distance is 64 bits and a result whose low part is
// INVALID_SET_FILE_POINTER is told from a failure by last error 0; without one the distance
// is a signed 32-bit value and a position past 4 GB - 1 fails, as documented for Windows.
extern "C" DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh,
                                       DWORD dwMoveMethod) {
    std::shared_ptr<KernelObject> object = LookupHandle(hFile);
    if (!object)
        return INVALID_SET_FILE_POINTER;
    if (dwMoveMethod > FILE_END) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    LONGLONG llDistance = lDistanceToMove;
    if (lpDistanceToMoveHigh)
        llDistance = (LONGLONG)(((ULONGLONG)(DWORD)*lpDistanceToMoveHigh << 32) | (DWORD)lDistanceToMove);
    LONGLONG llOld = 0;
    if (!lpDistanceToMoveHigh && !object->Seek(0, FILE_CURRENT, &llOld))
        return INVALID_SET_FILE_POINTER;
    LONGLONG llNew = 0;
    if (!object->Seek(llDistance, dwMoveMethod, &llNew))
        return INVALID_SET_FILE_POINTER;
    if (!lpDistanceToMoveHigh && (ULONGLONG)llNew > 0xFFFFFFFFull) {
        object->Seek(llOld, FILE_BEGIN, nullptr);
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (lpDistanceToMoveHigh)
        *lpDistanceToMoveHigh = (LONG)(DWORD)((ULONGLONG)llNew >> 32);
    const DWORD dwLow = (DWORD)((ULONGLONG)llNew & 0xFFFFFFFFu);
    if (dwLow == INVALID_SET_FILE_POINTER)
        ::SetLastError(ERROR_SUCCESS);
    return dwLow;
}

extern "C" DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    std::shared_ptr<KernelObject> object = LookupHandle(hFile);
    if (!object)
        return INVALID_FILE_SIZE;
    LONGLONG llSize = 0;
    if (!object->GetSize(&llSize))
        return INVALID_FILE_SIZE;
    if (lpFileSizeHigh)
        *lpFileSizeHigh = (DWORD)((ULONGLONG)llSize >> 32);
    const DWORD dwLow = (DWORD)((ULONGLONG)llSize & 0xFFFFFFFFu);
    if (dwLow == INVALID_FILE_SIZE)
        ::SetLastError(ERROR_SUCCESS);
    return dwLow;
}

extern "C" BOOL WINAPI GetFileInformationByHandle(HANDLE hFile,
                                                  LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
    std::shared_ptr<KernelObject> object = LookupHandle(hFile);
    if (!object)
        return FALSE;
    FileObject* pFile = dynamic_cast<FileObject*>(object.get());
    if (pFile == nullptr) {
        ::SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    if (lpFileInformation == nullptr) {
        ::SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return pFile->GetInformation(lpFileInformation);
}

extern "C" BOOL WINAPI SetEndOfFile(HANDLE hFile) {
    std::shared_ptr<KernelObject> object = LookupHandle(hFile);
    return object ? object->SetEnd() : FALSE;
}

extern "C" BOOL WINAPI FlushFileBuffers(HANDLE hFile) {
    std::shared_ptr<KernelObject> object = LookupHandle(hFile);
    return object ? object->Flush() : FALSE;
}
