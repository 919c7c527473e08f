#include <windows.h>

// One value per thread, as on Windows; a new thread starts with 0.
static thread_local DWORD t_dwLastError = ERROR_SUCCESS;

extern "C" DWORD WINAPI GetLastError(void) { return t_dwLastError; }

extern "C" void WINAPI SetLastError(DWORD dwErrCode) { t_dwLastError = dwErrCode; }
