// Connection set-up: turns the INI file named on the command line into an open
// terminal link over the port that its "Connection" section describes.
#pragma once

#include <afx.h>
#include <windows.h>

class CDebugFile;
class CPort;
class CTerminalLink;

// The input path copy: at most 255 characters and the terminating zero. The run fills
// it just before ConnectTerminal reads it as the name of the INI file.
extern char g_szInputFile[256];

// The set-up's program-wide objects. The link owns the port and the protocol;
// the set-up owns the link and the log.
extern CTerminalLink* g_pTerminalLink;
extern CDebugFile* g_pDebugFile;

// Result codes of ConnectTerminal.
enum : signed char {
    CONNECT_OK = 0,
    CONNECT_FAILED = -31,
};

// Port kinds, in the order in which the ConnectType values are compared.
enum ConnectionPortKind {
    PORT_KIND_SERIAL = 0,   // "Serial Port"
    PORT_KIND_USB_HID = 1,  // "USB Device"
    PORT_KIND_TCPIP = 2,    // "TCP/IP Port"
    PORT_KIND_USBIO = 3,    // "USBIO Device"
};

// The "Connection" section, defaults filled in for every key the file leaves out.
struct ConnectionSettings {
    int nPortKind;
    CString csPort;
    int nBaudrate;
    int nParity;
    int nByteSize;
    int nStopBits;
    CString csIPAddress;
    int nIPPort;
    // "IPPort" as written, which must name a TCP port 1 to 65535 when given.
    BOOL bIPPortGiven;
    CString csIPPort;
    // "UsbDeviceIds": the terminal's USB IDs for this run, in place of the built-in table.
    BOOL bUsbDeviceIdsGiven;
    CString csUsbDeviceIds;
    // "UsbioInterfaceGuid": the USBIO driver's device interface class for this run, in place
    // of the built-in one (a driver installation registers its own).
    BOOL bUsbioInterfaceGuidGiven;
    CString csUsbioInterfaceGuid;

    ConnectionSettings();
};

// Reads the settings from an INI file; an empty path, a file that cannot be loaded or one
// without a "Connection" section leaves the defaults, silently.
void ReadConnectionSettings(LPCSTR pszIniFile, ConnectionSettings& settings);
// The index of a ConnectType value (trimmed first); anything unknown is the serial port.
int PortKindFromConnectType(CString csConnectType);
// Creates the port of the settings' kind over the log, or NULL for a kind that has no
// port in this build (the reason goes to the log).
CPort* CreateTerminalPort(const ConnectionSettings& settings, CDebugFile* pDebugFile);

// "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}" (braces optional, hex digits in either case) as
// a GUID; FALSE when the text is none.
BOOL ParseInterfaceGuid(LPCSTR pszText, GUID* pGuid);
// The USBIO interface class the settings' port looks for.
GUID UsbioInterfaceGuidOf(const ConnectionSettings& settings);

// Checks the values that have to be well-formed before any port is made (IPPort,
// UsbDeviceIds, UsbioInterfaceGuid), whatever the port kind, and puts the settings' USB IDs
// in effect for the process (the built-in table when the key is absent). FALSE when a
// value is malformed, with "Error in [Connection] Key: why" in csError.
BOOL ApplyConnectionSettings(const ConnectionSettings& settings, CString& csError);

// A malformed value is reported on standard error and fails the set-up before any port is
// made.
signed char ConnectTerminal();
void DisconnectTerminal();
