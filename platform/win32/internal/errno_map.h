// errno to Win32 error codes, in one table (errno_map.cpp). Every function of the platform
// layer that fails on a POSIX call reports through here, so one errno always gives the same
// GetLastError value.
#pragma once

#include <windows.h>

namespace win32 {

DWORD Win32ErrorFromErrno(int nErrno);
// SetLastError(Win32ErrorFromErrno(nErrno)).
void SetLastErrorFromErrno(int nErrno);
// The code for ENOENT on a path: ERROR_FILE_NOT_FOUND when the file's folder exists,
// ERROR_PATH_NOT_FOUND when the folder is missing too, as Windows tells them apart.
DWORD MissingFileError(const char* pszPath);

}  // namespace win32
