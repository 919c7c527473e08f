#include "internal/real_devices.h"

#include "internal/settings.h"

#include <stdlib.h>
#include <string.h>

namespace win32 {

bool RealDevicesEnabled() {
    const char* pszValue = getenv("IOCLASSLIB_REAL_DEVICES");
    if (pszValue == NULL || *pszValue == '\0' || strcmp(pszValue, "1") == 0)
        return true;
    if (strcmp(pszValue, "0") == 0)
        return false;
    ReportUnusableSetting("IOCLASSLIB_REAL_DEVICES", pszValue,
                          "neither 0 nor 1; 1 is used: the machine's own devices are listed");
    return true;
}

}  // namespace win32
