// The parts of the device check that go through the library and the Windows API, as
// keyprobe does: the INI file and the port it names, the registry, the USB device lists.
#pragma once

#include <afx.h>
#include <windows.h>

#include <string>
#include <vector>

#include "CheckReport.h"

namespace keyprobecheck {

// Reads the INI file as keyprobe does and opens (then closes) the port it names; sends nothing.
void CheckInputFile(const std::string& path, InputFileCheck& check);

// The registry store in use and the debug-log switches it holds: those of pszKey (below
// HKEY_LOCAL_MACHINE) and the keys below it, or when it is NULL every one the platform
// can list.
void CheckRegistry(const char* pszKey, RegistryCheck& check);

// HID and USB devices, through the library's enumeration; a family whose list cannot be
// made goes to unlisted with the reason.
void ListUsbDevices(std::vector<Device>& devices, std::vector<Listing>& unlisted);

// The system's text for a Win32 error, without its full stop.
std::string SystemMessage(DWORD dwError);

}  // namespace keyprobecheck
