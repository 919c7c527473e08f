// Entry points of the USBIO family for the rest of the platform layer.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace win32 {
namespace usbio {

// Interface paths of every device the driver serves now (SetupAPI's list for
// USBIO_DEVICE_INTERFACE_GUID): real devices in bus order, then virtual ones.
void EnumerateInterfacePaths(std::vector<std::string>& paths);
// The same paths for every USB device present, also those the process may not open (which
// CreateFileA then refuses with ERROR_ACCESS_DENIED): Windows' list of all USB devices.
void EnumeratePresentDevicePaths(std::vector<std::string>& paths);

// Makes CreateFileA open the family's paths ("\\?\usb#...", "\\.\USBIO_Device<n>").
// Idempotent; the enumeration calls it too.
void RegisterUsbioNamespace();

}  // namespace usbio
}  // namespace win32
