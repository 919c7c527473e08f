// The parts of the device check that go through the library and its Windows API layer, as
// keyprobe does: the INI file and the port it names, the registry store, the USB device
// lists and the udev rules made from the terminal's USB ID table.
#pragma once

#include <ostream>
#include <string>
#include <vector>

#include "CheckReport.h"

namespace keyprobecheck {

// Reads the INI file as keyprobe does and opens (then closes) the port it names; sends nothing.
void CheckInputFile(const std::string& path, InputFileCheck& check);

// The registry store in use and the debug-log switches it holds.
void CheckRegistry(RegistryCheck& check);

// HID and USB devices, through the library's enumeration; a family it cannot list yet
// goes to unlisted with the reason.
void ListUsbDevices(std::vector<Device>& devices, std::vector<Listing>& unlisted);

// udev rules giving the group plugdev read/write access to the terminal's hidraw and USB
// device nodes, one pair of lines per (vendor, product) pair: those of the INI file's
// UsbDeviceIds when pszIni names one that has them, else the library's table. A file that
// keyprobe would refuse is refused the same way, on err, and nothing is written.
bool WriteUdevRules(const char* pszIni, std::ostream& out, std::ostream& err);

}  // namespace keyprobecheck
