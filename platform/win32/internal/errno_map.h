// errno to Win32 error codes, in one table (errno_map.cpp). Every function of the platform
// layer that fails on a POSIX call reports through here, so one errno always gives the same
// GetLastError value.
#pragma once

#include <windows.h>

namespace win32 {

DWORD Win32ErrorFromErrno(int nErrno);
// SetLastError(Win32ErrorFromErrno(nErrno)).
void SetLastErrorFromErrno(int nErrno);

}  // namespace win32
