// Why a USB port found no terminal: the devices it could have taken, looked at through
// the same Windows calls the ports make (SetupAPI, CreateFileA, the HID and USBIO
// requests), and the cause put in words. The port itself says only that it found nothing.
#pragma once

#include <afx.h>
#include <windows.h>

#include <string>
#include <vector>

class CPort;
struct ConnectionSettings;

// One device of the port's list (or, for USBIO, a USB device with the terminal's IDs that
// the driver does not offer), as the port's open finds it.
struct UsbCandidate {
    std::string path;    // its interface path
    int nVendorId = -1;  // -1: not known
    int nProductId = -1;
    bool bTerminal = false;         // the IDs are the terminal's
    bool bOffered = true;           // in the port's list; false: only among all USB devices
    bool bOpened = false;           // it opened as the port opens it
    DWORD dwError = ERROR_SUCCESS;  // why not: a Win32 error or a USBIO status
    CString csUnusable;             // why keyprobe cannot use it although it is there; empty when it can
};

// The interface paths of a device interface class present now; *pdwError is
// ERROR_SUCCESS, or why no list could be made.
std::vector<std::string> DeviceInterfacePaths(const GUID& interfaceGuid, DWORD* pdwError);

// The vendor and product ID that an interface path carries ("...#vid_1209&pid_0001#...",
// as Windows and our layer write them); FALSE when it has none.
BOOL UsbIdsFromPath(const std::string& path, WORD* pwVendorId, WORD* pwProductId);

// Why keyprobe cannot exchange its reports with an open HID device: report lengths outside
// its format, or no output report with the ID its reports carry. Empty when it can.
CString HidReportProblem(HANDLE hDevice);

// The same for the device an open port holds; empty for ports other than the HID port.
CString OpenPortProblem(CPort* pPort);

// The devices the settings' USB port (HID or USBIO) could have taken.
std::vector<UsbCandidate> SurveyUsbDevices(const ConnectionSettings& settings);

// Why the port found no terminal among the devices, naming the IDs it looked for, and in
// csFix what would help (empty when nothing would). Empty when the survey shows no cause
// (the terminal is there and usable).
CString ExplainMissingTerminal(const ConnectionSettings& settings, const std::vector<UsbCandidate>& devices,
                               CString& csFix);
