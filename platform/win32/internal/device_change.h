// The seam between the device families and user32: a family reports that a device
// interface has arrived or gone, user32 sends WM_DEVICECHANGE to every window registered
// for it (RegisterDeviceNotificationA). Reports are queued and delivered by user32's own
// thread, so a family's poll thread never waits for a window.
#pragma once

#include <windows.h>

#include <string>

namespace win32 {

// dwEvent is DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE.
void ReportDeviceInterfaceChange(DWORD dwEvent, const GUID& interfaceClass, const std::string& interfacePath);

// Starts each family's arrival and removal monitor, from one table; idempotent. user32
// calls it when the first notification is registered.
void StartDeviceMonitors();

// The HID family's entry in that table (hid/hid_family.cpp).
void StartHidDeviceMonitor();

}  // namespace win32
