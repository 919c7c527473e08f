#include "internal/real_devices.h"

#include <stdlib.h>
#include <string.h>

namespace win32 {

bool RealDevicesEnabled() {
    const char* pszValue = getenv("IOCLASSLIB_REAL_DEVICES");
    return pszValue == NULL || strcmp(pszValue, "0") != 0;
}

}  // namespace win32
