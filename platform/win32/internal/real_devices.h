// Whether the device families list the machine's own devices (hidraw, libusb) beside the
// virtual ones: IOCLASSLIB_REAL_DEVICES unset, empty or "1" says yes, "0" says no; any other
// value is reported and says yes. Test runs
// say no, so that a terminal plugged into the developer's machine is never opened by a
// test. Read at each use, like the other settings.
#pragma once

namespace win32 {

bool RealDevicesEnabled();

}  // namespace win32
