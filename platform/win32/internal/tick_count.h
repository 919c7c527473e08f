// GetTickCount's arithmetic, apart from the clock it reads, so that its wrap can be shown.
#pragma once

#include <windows.h>

#include <stdint.h>

namespace win32 {

// Windows counts milliseconds since boot in 32 bits: the count wraps to 0 after
// 49.7 days, and callers measure intervals as unsigned differences across the wrap.
inline DWORD TickCountFromMilliseconds(uint64_t ullMilliseconds) {
    return (DWORD)(ullMilliseconds & 0xFFFFFFFFu);
}

}  // namespace win32
