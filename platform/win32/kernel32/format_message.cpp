// FormatMessageA for the system's own texts, and the local memory it hands out.
// Windows takes the texts from its message tables; here they are one table of the codes
// this layer and Winsock report, in Windows' English wording with its "\r\n" ending, so
// that a log reads the same on both systems.
#include <stdlib.h>
#include <string.h>

#include <string>

#include <windows.h>
#include <winsock2.h>

namespace {

struct SystemMessage {
    DWORD dwCode;
    const char* pszText;
};

const SystemMessage kSystemMessages[] = {
    {ERROR_SUCCESS, "The operation completed successfully."},
    {ERROR_INVALID_FUNCTION, "Incorrect function."},
    {ERROR_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {ERROR_PATH_NOT_FOUND, "The system cannot find the path specified."},
    {ERROR_TOO_MANY_OPEN_FILES, "The system cannot open the file."},
    {ERROR_ACCESS_DENIED, "Access is denied."},
    {ERROR_INVALID_HANDLE, "The handle is invalid."},
    {ERROR_NOT_ENOUGH_MEMORY, "Not enough memory resources are available to process this command."},
    {ERROR_INVALID_DATA, "The data is invalid."},
    {ERROR_OUTOFMEMORY, "Not enough memory resources are available to complete this operation."},
    {ERROR_NOT_READY, "The device is not ready."},
    {ERROR_GEN_FAILURE, "A device attached to the system is not functioning."},
    {ERROR_SHARING_VIOLATION,
     "The process cannot access the file because it is being used by another process."},
    {ERROR_HANDLE_EOF, "Reached the end of the file."},
    {ERROR_NOT_SUPPORTED, "The request is not supported."},
    {ERROR_DEV_NOT_EXIST, "The specified network resource or device is no longer available."},
    {ERROR_FILE_EXISTS, "The file exists."},
    {ERROR_INVALID_PARAMETER, "The parameter is incorrect."},
    {ERROR_BROKEN_PIPE, "The pipe has been ended."},
    {ERROR_OPEN_FAILED, "The system cannot open the device or file specified."},
    {ERROR_DISK_FULL, "There is not enough space on the disk."},
    {ERROR_CALL_NOT_IMPLEMENTED, "This function is not supported on this system."},
    {ERROR_SEM_TIMEOUT, "The semaphore timeout period has expired."},
    {ERROR_INSUFFICIENT_BUFFER, "The data area passed to a system call is too small."},
    {ERROR_INVALID_NAME, "The filename, directory name, or volume label syntax is incorrect."},
    {ERROR_BUSY, "The requested resource is in use."},
    {ERROR_ALREADY_EXISTS, "Cannot create a file when that file already exists."},
    {ERROR_NO_DATA, "The pipe is being closed."},
    {ERROR_MORE_DATA, "More data is available."},
    {WAIT_TIMEOUT, "The wait operation timed out."},
    {ERROR_NO_MORE_ITEMS, "No more data is available."},
    {ERROR_OPERATION_ABORTED,
     "The I/O operation has been aborted because of either a thread exit or an application request."},
    {ERROR_IO_INCOMPLETE, "Overlapped I/O event is not in a signaled state."},
    {ERROR_IO_PENDING, "Overlapped I/O operation is in progress."},
    {ERROR_NOACCESS, "Invalid access to memory location."},
    {ERROR_BADDB, "The configuration registry database is corrupt."},
    {ERROR_BADKEY, "The configuration registry key is invalid."},
    {ERROR_CANTOPEN, "The configuration registry key could not be opened."},
    {ERROR_INVALID_FLAGS, "Invalid flags."},
    {ERROR_DEVICE_NOT_CONNECTED, "The device is not connected."},
    {ERROR_NOT_FOUND, "Element not found."},
    {ERROR_NO_SYSTEM_RESOURCES, "Insufficient system resources exist to complete the requested service."},
    {ERROR_TIMEOUT, "This operation returned because the timeout period expired."},
    {ERROR_INVALID_USER_BUFFER, "The supplied user buffer is not valid for the requested operation."},
    {WSAEINTR, "A blocking operation was interrupted by a call to WSACancelBlockingCall."},
    {WSAEACCES, "An attempt was made to access a socket in a way forbidden by its access permissions."},
    {WSAEFAULT,
     "The system detected an invalid pointer address in attempting to use a pointer argument in a call."},
    {WSAEINVAL, "An invalid argument was supplied."},
    {WSAEMFILE, "Too many open sockets."},
    {WSAEWOULDBLOCK, "A non-blocking socket operation could not be completed immediately."},
    {WSAEINPROGRESS, "A blocking operation is currently executing."},
    {WSAEALREADY,
     "An operation was attempted on a non-blocking socket that already had an operation in progress."},
    {WSAENOTSOCK, "An operation was attempted on something that is not a socket."},
    {WSAEADDRINUSE,
     "Only one usage of each socket address (protocol/network address/port) is normally permitted."},
    {WSAEADDRNOTAVAIL, "The requested address is not valid in its context."},
    {WSAENETDOWN, "A socket operation encountered a dead network."},
    {WSAENETUNREACH, "A socket operation was attempted to an unreachable network."},
    {WSAECONNABORTED, "An established connection was aborted by the software in your host machine."},
    {WSAECONNRESET, "An existing connection was forcibly closed by the remote host."},
    {WSAENOBUFS,
     "An operation on a socket could not be performed because the system lacked sufficient buffer "
     "space or because a queue was full."},
    {WSAEISCONN, "A connect request was made on an already connected socket."},
    {WSAENOTCONN, "A request to send or receive data was disallowed because the socket is not connected and "
                  "(when sending on a datagram socket using a sendto call) no address was supplied."},
    {WSAESHUTDOWN,
     "A request to send or receive data was disallowed because the socket had already been shut "
     "down in that direction with a previous shutdown call."},
    {WSAETIMEDOUT, "A connection attempt failed because the connected party did not properly respond after a "
                   "period of time, or established connection failed because connected host has failed to "
                   "respond."},
    {WSAECONNREFUSED, "No connection could be made because the target machine actively refused it."},
    {WSAEHOSTUNREACH, "A socket operation was attempted to an unreachable host."},
    {WSANOTINITIALISED, "Either the application has not called WSAStartup, or WSAStartup failed."},
    {WSAHOST_NOT_FOUND, "No such host is known."},
};

const char* FindSystemMessage(DWORD dwCode) {
    for (const SystemMessage& message : kSystemMessages)
        if (message.dwCode == dwCode)
            return message.pszText;
    return NULL;
}

// The table is in English; a neutral or English request gets it, as on an English system.
bool IsLanguageAvailable(DWORD dwLanguageId) {
    if (dwLanguageId == 0)
        return true;
    const WORD wPrimary = PRIMARYLANGID(dwLanguageId);
    return wPrimary == LANG_NEUTRAL || wPrimary == LANG_ENGLISH;
}

}  // namespace

// Only the system's texts: there are no message tables in modules here, and no caller
// formats its own strings, so FORMAT_MESSAGE_FROM_STRING is refused rather than half done.
// The texts hold no inserts, so FORMAT_MESSAGE_IGNORE_INSERTS changes nothing. Any
// nonzero width drops the line break, which leaves a trailing space as on Windows.
extern "C" DWORD WINAPI FormatMessageA(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId,
                                       LPSTR lpBuffer, DWORD nSize, va_list* Arguments) {
    (void)lpSource;
    (void)Arguments;
    if (lpBuffer == NULL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const bool bAllocate = (dwFlags & FORMAT_MESSAGE_ALLOCATE_BUFFER) != 0;
    if (bAllocate)
        *(LPSTR*)lpBuffer = NULL;
    if (dwFlags & FORMAT_MESSAGE_FROM_STRING) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return 0;
    }
    if ((dwFlags & FORMAT_MESSAGE_FROM_SYSTEM) == 0) {
        // A module's own table was asked for, and modules carry none.
        SetLastError((dwFlags & FORMAT_MESSAGE_FROM_HMODULE) ? (DWORD)ERROR_MR_MID_NOT_FOUND
                                                             : (DWORD)ERROR_INVALID_PARAMETER);
        return 0;
    }
    if (!IsLanguageAvailable(dwLanguageId)) {
        SetLastError(ERROR_RESOURCE_LANG_NOT_FOUND);
        return 0;
    }
    const char* pszText = FindSystemMessage(dwMessageId);
    if (pszText == NULL) {
        SetLastError(ERROR_MR_MID_NOT_FOUND);
        return 0;
    }
    std::string text = pszText;
    text += (dwFlags & FORMAT_MESSAGE_MAX_WIDTH_MASK) ? " " : "\r\n";
    const DWORD dwLength = (DWORD)text.size();

    char* pszOut;
    if (bAllocate) {
        // nSize is the least the caller wants allocated, not a limit.
        const SIZE_T cbAlloc = (SIZE_T)dwLength + 1 > (SIZE_T)nSize ? (SIZE_T)dwLength + 1 : (SIZE_T)nSize;
        pszOut = (char*)LocalAlloc(LMEM_FIXED, cbAlloc);
        if (pszOut == NULL)
            return 0;
        *(LPSTR*)lpBuffer = pszOut;
    } else {
        if (nSize < dwLength + 1) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return 0;
        }
        pszOut = lpBuffer;
    }
    memcpy(pszOut, text.c_str(), dwLength + 1);
    return dwLength;
}

// Fixed blocks only: a movable block would need LocalLock, which nothing here calls.
extern "C" HLOCAL WINAPI LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    if (uFlags & ~(UINT)(LMEM_FIXED | LMEM_ZEROINIT)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return NULL;
    }
    void* p = (uFlags & LMEM_ZEROINIT) ? calloc(1, uBytes ? uBytes : 1) : malloc(uBytes ? uBytes : 1);
    if (p == NULL)
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return (HLOCAL)p;
}

extern "C" HLOCAL WINAPI LocalFree(HLOCAL hMem) {
    free(hMem);
    return NULL;
}
