// The Linux side of the device check: who runs it, which serial device nodes exist, and
// whether this user may open a node, with what would let it when not. Only stat and
// access checks here: no device node is opened.
#pragma once

#include <string>
#include <vector>

#include "CheckReport.h"

namespace keyprobecheck {

std::string CurrentUser();
std::vector<std::string> CurrentGroups();

// The device node behind a serial Port setting, as the library's CreateFileA finds it:
// COMn through $IOCLASSLIB_DOSDEVICES/comn when that is set, else /dev/ttyS<n-1>; anything
// else is a path already.
std::string SerialDevicePath(const std::string& port);

// Serial ports: USB adapters, ACM modems, on-board UARTs that have hardware behind them,
// the COM links of $IOCLASSLIB_DOSDEVICES, and the extra paths given.
std::vector<Device> ListSerialPorts(const std::vector<std::string>& extraPaths);

// Whether this user may open the node for reading and writing. For "hid" and "usb" nodes
// the fix names the package's udev rules; for serial ports the group to join.
Access CheckAccess(const std::string& path, const std::string& kind);

// Why the library's open of a node it may read and write was refused anyway, found by
// opening it once more without waiting (modem lines may move; nothing is sent): another
// program holds it, or the kernel refuses this process. Empty when no reason shows.
std::string WhyOpenRefused(const std::string& path);

// The device node behind an interface path of the library's enumeration, where there is
// one: "\\?\hid#vid_..#hidraw_hidraw3#{..}" is /dev/hidraw3, "\\?\usb#vid_..#1-2.3#{..}" the
// /dev/bus/usb node of the device on port chain 1-2.3. Empty for virtual devices.
std::string NodeForInterfacePath(const std::string& interfacePath);

// The library lists as USBIO devices only the USB devices this user may open, as Windows
// leaves out a device not installed under the driver. Adds the ones with the terminal's IDs
// that it left out, from sysfs, with why they cannot be opened.
void AddUnlistedUsbTerminals(std::vector<Device>& devices);

// True when the node exists and this user may read and write it (the device may still be busy).
bool MayOpen(const std::string& path);

// What a path that exists names when it is not a regular file ("a FIFO", "a directory",
// ...); empty for a regular file or a path that does not exist.
std::string FileKind(const std::string& path);
// The size of the file at path in bytes; 0 when it cannot be asked.
long long FileSize(const std::string& path);

}  // namespace keyprobecheck
