// Operations on file names: rename, delete, full path.
//
// Windows refuses to rename or delete a file that an open handle holds without
// FILE_SHARE_DELETE; Linux would not mind, so the share gate (internal/share_mode.h) is
// asked first and held while the name changes.
#include "internal/errno_map.h"
#include "internal/share_mode.h"

#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

namespace win32 {

namespace {

// A descriptor of an existing regular file for the share gate, or -1.
int OpenForGate(const char* pszPath) {
    struct stat info;
    if (lstat(pszPath, &info) != 0 || !S_ISREG(info.st_mode))
        return -1;
    return open(pszPath, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

struct GatedFile {
    explicit GatedFile(const char* pszPath) : fd(OpenForGate(pszPath)) {
        if (fd >= 0)
            gate.reset(new ShareGate(fd));
    }
    ~GatedFile() {
        gate.reset();
        if (fd >= 0)
            close(fd);
    }
    bool DeleteRefused() const { return gate && gate->DeleteRefused(); }
    int fd;
    std::unique_ptr<ShareGate> gate;
};

// ENOENT is a missing source (file or folder) when the source is missing, else a missing
// target folder.
DWORD RenameError(int nErrno, const char* pszFrom) {
    if (nErrno == ENOENT) {
        struct stat info;
        return lstat(pszFrom, &info) != 0 ? MissingFileError(pszFrom) : ERROR_PATH_NOT_FOUND;
    }
    if (nErrno == EEXIST || nErrno == ENOTEMPTY)
        return ERROR_ALREADY_EXISTS;
    return Win32ErrorFromErrno(nErrno);
}

bool RenameNoReplace(const char* pszFrom, const char* pszTo) {
    if (renameat2(AT_FDCWD, pszFrom, AT_FDCWD, pszTo, RENAME_NOREPLACE) == 0)
        return true;
    if (errno != EINVAL && errno != ENOSYS)
        return false;
    // File systems without RENAME_NOREPLACE: check, then rename (a narrow race remains).
    struct stat info;
    if (lstat(pszTo, &info) == 0) {
        errno = EEXIST;
        return false;
    }
    return rename(pszFrom, pszTo) == 0;
}

// The copy half of a move across file systems; regular files only, as on Windows.
bool CopyFileContents(const char* pszFrom, const char* pszTo, bool bReplace, bool bSync) {
    const int fdFrom = open(pszFrom, O_RDONLY | O_CLOEXEC);
    if (fdFrom < 0)
        return false;
    struct stat info;
    if (fstat(fdFrom, &info) != 0 || !S_ISREG(info.st_mode)) {
        close(fdFrom);
        errno = EXDEV;
        return false;
    }
    const int fdTo =
        open(pszTo, O_WRONLY | O_CREAT | O_CLOEXEC | (bReplace ? O_TRUNC : O_EXCL), info.st_mode & 07777);
    if (fdTo < 0) {
        const int nErrno = errno;
        close(fdFrom);
        errno = nErrno;
        return false;
    }
    std::vector<char> buffer(1 << 16);
    bool bOk = true;
    for (;;) {
        const ssize_t cbRead = read(fdFrom, buffer.data(), buffer.size());
        if (cbRead < 0 && errno == EINTR)
            continue;
        if (cbRead <= 0) {
            bOk = cbRead == 0;
            break;
        }
        for (ssize_t cbDone = 0; bOk && cbDone < cbRead;) {
            const ssize_t cbWritten = write(fdTo, buffer.data() + cbDone, (size_t)(cbRead - cbDone));
            if (cbWritten < 0 && errno == EINTR)
                continue;
            if (cbWritten < 0)
                bOk = false;
            else
                cbDone += cbWritten;
        }
        if (!bOk)
            break;
    }
    if (bOk && bSync && fsync(fdTo) != 0)
        bOk = false;
    const int nErrno = errno;
    close(fdFrom);
    if (close(fdTo) != 0)
        bOk = false;
    if (!bOk) {
        unlink(pszTo);
        errno = nErrno;
    }
    return bOk;
}

}  // namespace

}  // namespace win32

using namespace win32;

// Without MOVEFILE_REPLACE_EXISTING an existing target fails with ERROR_ALREADY_EXISTS;
// across file systems a file is copied and the original deleted when MOVEFILE_COPY_ALLOWED
// is given. Renaming at the next boot is not offered.
extern "C" BOOL WINAPI MoveFileExA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName, DWORD dwFlags) {
    if (!lpExistingFileName || !lpNewFileName || !*lpExistingFileName || !*lpNewFileName) {
        ::SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    if (dwFlags & MOVEFILE_DELAY_UNTIL_REBOOT) {
        ::SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    const bool bReplace = (dwFlags & MOVEFILE_REPLACE_EXISTING) != 0;
    GatedFile source(lpExistingFileName);
    if (source.DeleteRefused()) {
        ::SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    std::unique_ptr<GatedFile> target;
    if (bReplace) {
        target.reset(new GatedFile(lpNewFileName));
        if (target->DeleteRefused()) {
            ::SetLastError(ERROR_SHARING_VIOLATION);
            return FALSE;
        }
    }
    const bool bRenamed = bReplace ? rename(lpExistingFileName, lpNewFileName) == 0
                                   : RenameNoReplace(lpExistingFileName, lpNewFileName);
    if (bRenamed) {
        if (dwFlags & MOVEFILE_WRITE_THROUGH)
            sync();
        return TRUE;
    }
    if (errno == EXDEV && (dwFlags & MOVEFILE_COPY_ALLOWED)) {
        if (CopyFileContents(lpExistingFileName, lpNewFileName, bReplace,
                             (dwFlags & MOVEFILE_WRITE_THROUGH) != 0) &&
            unlink(lpExistingFileName) == 0)
            return TRUE;
    }
    ::SetLastError(RenameError(errno, lpExistingFileName));
    return FALSE;
}

// Moving across file systems is allowed for files, as MoveFile allows it.
extern "C" BOOL WINAPI MoveFileA(LPCSTR lpExistingFileName, LPCSTR lpNewFileName) {
    return MoveFileExA(lpExistingFileName, lpNewFileName, MOVEFILE_COPY_ALLOWED);
}

extern "C" BOOL WINAPI DeleteFileA(LPCSTR lpFileName) {
    if (!lpFileName || !*lpFileName) {
        ::SetLastError(ERROR_PATH_NOT_FOUND);
        return FALSE;
    }
    GatedFile file(lpFileName);
    if (file.DeleteRefused()) {
        ::SetLastError(ERROR_SHARING_VIOLATION);
        return FALSE;
    }
    struct stat info;
    if (lstat(lpFileName, &info) == 0 && S_ISDIR(info.st_mode)) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    if (unlink(lpFileName) != 0) {
        const int nErrno = errno;
        ::SetLastError(nErrno == ENOENT ? MissingFileError(lpFileName) : Win32ErrorFromErrno(nErrno));
        return FALSE;
    }
    return TRUE;
}

// A folder, or a file (read-only when nobody may write it). Wine gives a FIFO or a device
// node the attributes of a file too; only a failed open tells them apart.
extern "C" DWORD WINAPI GetFileAttributesA(LPCSTR lpFileName) {
    struct stat info;
    if (!lpFileName || !*lpFileName) {
        ::SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_FILE_ATTRIBUTES;
    }
    if (stat(lpFileName, &info) != 0) {
        const int nErrno = errno;
        ::SetLastError(nErrno == ENOENT ? MissingFileError(lpFileName) : Win32ErrorFromErrno(nErrno));
        return INVALID_FILE_ATTRIBUTES;
    }
    if (S_ISDIR(info.st_mode))
        return FILE_ATTRIBUTE_DIRECTORY;
    return (info.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) ? FILE_ATTRIBUTE_NORMAL : FILE_ATTRIBUTE_READONLY;
}

// An absolute Linux path with "." and ".." resolved by name (links are not followed, as
// Windows does not follow them here either); a drive-letter or UNC path is left as given.
extern "C" DWORD WINAPI GetFullPathNameA(LPCSTR lpFileName, DWORD nBufferLength, LPSTR lpBuffer,
                                         LPSTR* lpFilePart) {
    if (!lpFileName || !*lpFileName) {
        ::SetLastError(ERROR_INVALID_NAME);
        return 0;
    }
    std::string full;
    const bool bWindowsForm = (isalpha((unsigned char)lpFileName[0]) && lpFileName[1] == ':') ||
                              (lpFileName[0] == '\\' && lpFileName[1] == '\\');
    if (bWindowsForm) {
        full = lpFileName;
    } else {
        std::string joined;
        if (lpFileName[0] != '/') {
            std::vector<char> cwd(4096);
            while (!getcwd(cwd.data(), cwd.size())) {
                if (errno != ERANGE || cwd.size() > (1u << 20)) {
                    SetLastErrorFromErrno(errno);
                    return 0;
                }
                cwd.resize(cwd.size() * 2);
            }
            joined = std::string(cwd.data()) + "/";
        }
        joined += lpFileName;
        std::vector<std::string> parts;
        size_t nStart = 0;
        while (nStart <= joined.size()) {
            size_t nEnd = joined.find('/', nStart);
            if (nEnd == std::string::npos)
                nEnd = joined.size();
            const std::string part = joined.substr(nStart, nEnd - nStart);
            if (part == "..") {
                if (!parts.empty())
                    parts.pop_back();
            } else if (!part.empty() && part != ".") {
                parts.push_back(part);
            }
            nStart = nEnd + 1;
        }
        for (const std::string& part : parts)
            full += "/" + part;
        if (full.empty())
            full = "/";
        // A name that ends in a separator keeps it: it names a folder, with no file part.
        if (joined.back() == '/' && full != "/")
            full += "/";
    }
    if (full.size() + 1 > nBufferLength || !lpBuffer)
        return (DWORD)(full.size() + 1);
    memcpy(lpBuffer, full.c_str(), full.size() + 1);
    if (lpFilePart) {
        const size_t nSlash = full.find_last_of(bWindowsForm ? "\\/" : "/");
        const size_t nName = nSlash == std::string::npos ? 0 : nSlash + 1;
        *lpFilePart = nName < full.size() ? lpBuffer + nName : NULL;
    }
    return (DWORD)full.size();
}
