// Backend errors to the errors the HID class driver gives, in one table (status.cpp), as the
// USBIO family has its own (usbio/status.h).
//
// A backend fails with an errno value (hid/backend.h). Most mean the same whatever the
// request and go through the platform's errno table (internal/errno_map.h); the ones that
// say the device has gone mean something else for an open (no such device, as Windows says
// of an interface path that is no longer there) than for a handle already open on it (not
// connected, rule 5 of internal/request_engine.h).
#pragma once

#include <windows.h>

namespace win32 {

enum class HidOperation {
    Open,      // CreateFileA on an interface path
    Transfer,  // ReadFile and WriteFile on an open handle
};

DWORD HidStatusFromErrno(int nErrno, HidOperation operation);

}  // namespace win32
