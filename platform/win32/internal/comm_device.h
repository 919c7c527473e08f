// The seam between CreateFileA and the serial communications backend.
//
// CreateFileA turns "COMn" and "\\.\COMn" (any case) into a device path, through the link
// $IOCLASSLIB_DOSDEVICES/comn when that variable is set and else /dev/ttyS<n-1>, and calls
// OpenCommDevice with it; it does the same for any other path that names a character device
// that is a terminal (/dev/ttyUSB0, /dev/pts/3 ...). OpenCommDevice returns a handle from
// InsertHandle (internal/handle.h) to an object of its own KernelObject subclass, or
// INVALID_HANDLE_VALUE with the last error set as Windows sets it for a COM port
// (ERROR_FILE_NOT_FOUND for a missing port, ERROR_ACCESS_DENIED for one already open ...).
#pragma once

#include <windows.h>

HANDLE OpenCommDevice(const char* pszDevicePath, DWORD dwDesiredAccess, DWORD dwFlagsAndAttributes);

// Device majors of the Unix98 pseudo-terminal slaves (/dev/pts/N): terminals that sysfs
// does not list under the tty class, and lines with no modem to wait for.
inline bool IsPseudoTerminalSlaveMajor(unsigned nMajor) { return nMajor >= 136 && nMajor <= 143; }
