// What the device check does differently on Linux and on Windows, one source folder per
// platform (linux/, windows/): who runs it, the serial ports the machine has, where a HID
// or USBIO interface lives and why it does not open, the registry it reads and the udev
// rules. Linux judges device nodes by their permissions and opens none of them but the
// input file's; Windows has no such permissions to read and opens each port as keyprobe
// would, since only an open tells whether another program holds it.
#pragma once

#include <afx.h>
#include <windows.h>

#include <ostream>
#include <string>
#include <vector>

#include "CheckReport.h"

struct ConnectionSettings;

namespace keyprobecheck {

std::string CurrentUser();
// The groups that decide who may open a device; none on Windows.
std::vector<std::string> CurrentGroups();

// The device behind a serial Port setting, as CreateFileA finds it: on Linux the node (COMn
// through $IOCLASSLIB_DOSDEVICES/comn when that is set, else /dev/ttyS<n-1>; anything else
// is a path already), on Windows \\.\COMn. Empty when the setting names no device.
std::string SerialDevicePath(const std::string& port);

// The machine's serial ports and the extra devices given (the input file's port), each
// with whether this user can open it.
std::vector<Device> ListSerialPorts(const std::vector<std::string>& extraPaths);

// Puts what this platform knows beyond keyprobe's words into the check of an input file
// whose port did not open with dwError: on Linux whether the serial node's permissions or
// another program refused it, on Windows the system's own text for the error.
void RefineOpenFailure(const ConnectionSettings& settings, DWORD dwError, InputFileCheck& check);

// Where a HID or USBIO interface path of the library's enumeration lives: d.path, its
// aliases and, for termsim's virtual devices, the description.
void PlaceInterface(const std::string& interfacePath, Device& d);

// Why the interface did not open for reading and writing (dwError), and what would help.
Access WhyInterfaceNotOpened(const std::string& interfacePath, const std::string& kind, DWORD dwError);

// Devices with the terminal's IDs that the USBIO driver's list leaves out, where the
// platform can find them.
void AddUnlistedUsbTerminals(std::vector<Device>& devices);

// Whether the check lists the debug-log switches of the whole registry when no key is
// named: the Linux store is small, Windows' HKEY_LOCAL_MACHINE far too large to walk.
bool ListsEveryDebugLogSwitch();

// The registry as the library reads it, given what opening HKEY_LOCAL_MACHINE returned:
// fills check's path, origin, state and debug output.
void DescribeRegistry(LONG lOpened, RegistryCheck& check);

// --udev-rules: udev rules giving the group plugdev read/write access to the terminal's
// hidraw and USB device nodes, one pair of lines per (vendor, product) pair: those of the
// INI file's UsbDeviceIds when pszIni names one that has them, else the library's table. A
// file that keyprobe would refuse is refused the same way, on err. Returns the exit code.
int WriteUdevRules(const char* pszIni, std::ostream& out, std::ostream& err);

}  // namespace keyprobecheck
