// Linked into every test program: the platform layer lists only virtual devices, so no
// test lists or opens a hidraw or USB device of the machine it runs on (a terminal on the
// developer's desk included). Set before main, so it holds for a program run by hand as
// well as under ctest; the umockdev tests, which need the real backends, do not link it.
#include <stdlib.h>

namespace {

struct RealDevicesOff {
    RealDevicesOff() { setenv("IOCLASSLIB_REAL_DEVICES", "0", 1); }
} g_realDevicesOff;

}  // namespace
