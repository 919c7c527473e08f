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
    // "UsbDeviceIds": the terminal's USB IDs for this run, in place of the built-in table.
    BOOL bUsbDeviceIdsGiven;
    CString csUsbDeviceIds;

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

// Puts the settings' USB IDs in effect for the process (the built-in table when the key is
// absent). FALSE with the reason in csError when the value is malformed.
BOOL ApplyUsbDeviceIds(const ConnectionSettings& settings, CString& csError);

// A malformed UsbDeviceIds value is reported on standard error and fails the set-up
// before any port is made.
signed char ConnectTerminal();
void DisconnectTerminal();
