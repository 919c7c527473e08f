// Device namespaces other than COM ports: "\\?\hid#..." interface paths, "\\.\USBIO_Device0"
// and the like. A backend registers a claim test and an open function; CreateFileA offers
// every path that starts with "\\.\" or "\\?\" and is not a COM port to the registered
// namespaces in registration order, and the first that claims it opens it.
//
// The open function returns a handle from InsertHandle or INVALID_HANDLE_VALUE with the last
// error set. The registration must run before the first CreateFileA of such a path: call it
// from the backend's enumeration entry points (it is idempotent), or from a static object in
// a translation unit the program is sure to link (this is a static library: an object file
// nobody references is left out, static registrar and all).
#pragma once

#include <windows.h>

namespace win32 {

struct DeviceOpenRequest {
    const char* pszPath;
    DWORD dwDesiredAccess;
    DWORD dwShareMode;
    DWORD dwCreationDisposition;
    DWORD dwFlagsAndAttributes;
};

typedef bool (*DeviceClaimFunction)(const char* pszPath);
typedef HANDLE (*DeviceOpenFunction)(const DeviceOpenRequest& request);

// Registering the same pair twice keeps one entry.
void RegisterDeviceNamespace(DeviceClaimFunction claim, DeviceOpenFunction open);

// INVALID_HANDLE_VALUE with ERROR_FILE_NOT_FOUND when no namespace claims the path.
HANDLE OpenRegisteredDevice(const DeviceOpenRequest& request);

}  // namespace win32
