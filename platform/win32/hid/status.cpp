#include "hid/status.h"

#include <errno.h>

#include "internal/errno_map.h"

namespace win32 {

namespace {

struct Override {
    int nErrno;
    HidOperation operation;
    DWORD status;
};

// Where an errno says something more precise for one request: the ways a device node, or
// the virtual device server's connection, tells that the device has gone.
const Override kOverrides[] = {
    {ENODEV, HidOperation::Open, ERROR_FILE_NOT_FOUND},
    {ENXIO, HidOperation::Open, ERROR_FILE_NOT_FOUND},
    {EPIPE, HidOperation::Open, ERROR_FILE_NOT_FOUND},
    {ECONNRESET, HidOperation::Open, ERROR_FILE_NOT_FOUND},
    {ESHUTDOWN, HidOperation::Open, ERROR_FILE_NOT_FOUND},
    {ENOTCONN, HidOperation::Open, ERROR_FILE_NOT_FOUND},
    {ENODEV, HidOperation::Transfer, ERROR_DEVICE_NOT_CONNECTED},
    {ENXIO, HidOperation::Transfer, ERROR_DEVICE_NOT_CONNECTED},
    {EPIPE, HidOperation::Transfer, ERROR_DEVICE_NOT_CONNECTED},
    {ECONNRESET, HidOperation::Transfer, ERROR_DEVICE_NOT_CONNECTED},
    {ESHUTDOWN, HidOperation::Transfer, ERROR_DEVICE_NOT_CONNECTED},
    {ENOTCONN, HidOperation::Transfer, ERROR_DEVICE_NOT_CONNECTED},
};

}  // namespace

DWORD HidStatusFromErrno(int nErrno, HidOperation operation) {
    for (const Override& entry : kOverrides)
        if (entry.nErrno == nErrno && entry.operation == operation)
            return entry.status;
    return Win32ErrorFromErrno(nErrno);
}

}  // namespace win32
