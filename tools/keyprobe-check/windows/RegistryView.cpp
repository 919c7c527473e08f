// The registry on Windows is the system's own, seen through the view that this program's
// bitness gives it, which is the view the library reads in a program of the same bitness.
#include <afx.h>
#include <windows.h>

#include "Checks.h"
#include "HostDevices.h"

namespace keyprobecheck {

namespace {

std::string ViewOfThisProgram() {
    if (sizeof(void*) == 8)
        return "its 64-bit view; 32-bit programs such as keyprobe.exe read the 32-bit one, where "
               "SOFTWARE\\X is SOFTWARE\\WOW6432Node\\X of the 64-bit view";
    BOOL bWow64 = FALSE;
    if (::IsWow64Process(::GetCurrentProcess(), &bWow64) && bWow64)
        return "its 32-bit view, which keyprobe.exe reads too: SOFTWARE\\X here is "
               "SOFTWARE\\WOW6432Node\\X of the 64-bit view";
    return "";
}

}  // namespace

bool ListsEveryDebugLogSwitch() { return false; }

void DescribeRegistry(LONG lOpened, RegistryCheck& check) {
    check.path = "HKEY_LOCAL_MACHINE";
    check.origin = ViewOfThisProgram();
    check.state = lOpened == ERROR_SUCCESS
                      ? "read"
                      : "cannot be read: " + SystemMessage((DWORD)lOpened) + ", so every debug log is off";
}

}  // namespace keyprobecheck
