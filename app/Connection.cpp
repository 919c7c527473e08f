// Winsock's header has to come before anything that brings in <windows.h>.
#include "TCPIPPort.h"

#include "Connection.h"
#include "ConnectionDiagnosis.h"

#include <afxcoll.h>
#include <ctype.h>
#include <stdlib.h>

#include <iostream>

#include "COMHIDUSBPort.h"
#include "DebugFile.h"
#include "IniFileReader.h"
#include "Port.h"
#include "SerialPort.h"
#include "TerminalLink.h"
#include "TerminalUsbIds.h"
#include "USBPort.h"
#include "VLIProtocol.h"

CTerminalLink* g_pTerminalLink = NULL;
CDebugFile* g_pDebugFile = NULL;

namespace {

const char kSection[] = "Connection";
const char* const kConnectTypes[] = {"Serial Port", "USB Device", "TCP/IP Port", "USBIO Device"};
const DWORD kLinkReadWriteTimeout = 60000;
// Shortens the link's time-out, never lengthens it: tests of a terminal that stays silent
// would otherwise wait a minute for each reply it does not send.
const char kLinkTimeoutSetting[] = "KEYPROBE_LINK_TIMEOUT_MS";
const DWORD kHidBufferSize = 4096;

void LookUpText(CMapStringToString* pSection, LPCSTR pszKey, CString& csValue) {
    CString csFound;
    if (pSection->Lookup(pszKey, csFound))
        csValue = csFound;
}

void LookUpNumber(CMapStringToString* pSection, LPCSTR pszKey, int& nValue) {
    CString csFound;
    if (pSection->Lookup(pszKey, csFound))
        nValue = atoi(csFound);
}

DWORD LinkReadWriteTimeout() {
    const char* pszValue = getenv(kLinkTimeoutSetting);
    if (pszValue == NULL || *pszValue == '\0')
        return kLinkReadWriteTimeout;
    char* pszEnd = NULL;
    const unsigned long nValue = strtoul(pszValue, &pszEnd, 10);
    if (*pszEnd != '\0' || nValue == 0 || nValue > kLinkReadWriteTimeout)
        return kLinkReadWriteTimeout;
    return (DWORD)nValue;
}

}  // namespace

ConnectionSettings::ConnectionSettings()
    : nPortKind(PORT_KIND_SERIAL),
      csPort("COM1"),
      nBaudrate(19200),
      nParity(0),
      nByteSize(8),
      nStopBits(0),
      csIPAddress("192.168.1.2"),
      nIPPort(8009),
      bIPPortGiven(FALSE),
      bUsbDeviceIdsGiven(FALSE),
      bUsbioInterfaceGuidGiven(FALSE) {}

int PortKindFromConnectType(CString csConnectType) {
    // CString's white space: blank, tab, CR, LF, vertical tab and form feed.
    csConnectType.Trim();
    for (int i = 0; i < (int)(sizeof(kConnectTypes) / sizeof(kConnectTypes[0])); ++i) {
        if (csConnectType == kConnectTypes[i])
            return i;
    }
    return PORT_KIND_SERIAL;
}

void ReadConnectionSettings(LPCSTR pszIniFile, ConnectionSettings& settings) {
    if (pszIniFile == NULL || pszIniFile[0] == '\0')
        return;
    CIniFileReader reader;
    if (reader.Load(CString(pszIniFile))) {
        CMapStringToString* pSection = reader.GetSection(kSection);
        if (pSection != NULL) {
            CString csConnectType;
            if (pSection->Lookup("ConnectType", csConnectType))
                settings.nPortKind = PortKindFromConnectType(csConnectType);
            LookUpText(pSection, "Port", settings.csPort);
            LookUpNumber(pSection, "Baudrate", settings.nBaudrate);
            LookUpNumber(pSection, "Parity", settings.nParity);
            LookUpNumber(pSection, "ByteSize", settings.nByteSize);
            LookUpNumber(pSection, "StopBits", settings.nStopBits);
            LookUpText(pSection, "IPAddress", settings.csIPAddress);
            LookUpNumber(pSection, "IPPort", settings.nIPPort);
            settings.bIPPortGiven = pSection->Lookup("IPPort", settings.csIPPort);
            settings.bUsbDeviceIdsGiven = pSection->Lookup("UsbDeviceIds", settings.csUsbDeviceIds);
            settings.bUsbioInterfaceGuidGiven =
                pSection->Lookup("UsbioInterfaceGuid", settings.csUsbioInterfaceGuid);
        }
    }
    // The reader's destructor clears its tables, whether or not the load succeeded.
}

CPort* CreateTerminalPort(const ConnectionSettings& settings, CDebugFile* pDebugFile) {
    switch (settings.nPortKind) {
    case PORT_KIND_SERIAL:
        return new CSerialPort(pDebugFile, settings.csPort, (DWORD)settings.nBaudrate, (BYTE)settings.nParity,
                               (BYTE)settings.nByteSize, (BYTE)settings.nStopBits);
    case PORT_KIND_USB_HID: return new CCOMHIDUSBPort(pDebugFile, kHidBufferSize);
    case PORT_KIND_TCPIP: return new TCPIPPort(pDebugFile, settings.csIPAddress, settings.nIPPort);
    case PORT_KIND_USBIO: {
        CUSBPort* pPort = new CUSBPort(pDebugFile);
        pPort->SetInterfaceGuid(UsbioInterfaceGuidOf(settings));
        return pPort;
    }
    default: break;
    }
    if (pDebugFile != NULL && settings.nPortKind >= 0 &&
        settings.nPortKind < (int)(sizeof(kConnectTypes) / sizeof(kConnectTypes[0]))) {
        CString csText;
        csText.Format("-ConnectTerminal(): no port for ConnectType \"%s\" in this build",
                      kConnectTypes[settings.nPortKind]);
        pDebugFile->Log(0, csText, "");
    }
    return NULL;
}

BOOL ParseInterfaceGuid(LPCSTR pszText, GUID* pGuid) {
    CString csText = pszText;
    if (csText.GetLength() == 38 && csText[0] == '{' && csText[37] == '}')
        csText = csText.Mid(1, 36);
    // 8-4-4-4-12 hex digits; the last two groups are the eight bytes of Data4.
    static const int kDashes[] = {8, 13, 18, 23};
    if (csText.GetLength() != 36)
        return FALSE;
    for (int i = 0; i < 36; ++i) {
        const bool bDash = i == kDashes[0] || i == kDashes[1] || i == kDashes[2] || i == kDashes[3];
        if (bDash ? csText[i] != '-' : !isxdigit((unsigned char)csText[i]))
            return FALSE;
    }
    GUID guid;
    guid.Data1 = (DWORD)strtoul(csText.Mid(0, 8), NULL, 16);
    guid.Data2 = (WORD)strtoul(csText.Mid(9, 4), NULL, 16);
    guid.Data3 = (WORD)strtoul(csText.Mid(14, 4), NULL, 16);
    const CString csData4 = csText.Mid(19, 4) + csText.Mid(24, 12);
    for (int i = 0; i < 8; ++i)
        guid.Data4[i] = (BYTE)strtoul(csData4.Mid(2 * i, 2), NULL, 16);
    *pGuid = guid;
    return TRUE;
}

GUID UsbioInterfaceGuidOf(const ConnectionSettings& settings) {
    GUID guid = USBIO_DEVICE_INTERFACE_GUID;
    if (settings.bUsbioInterfaceGuidGiven)
        ParseInterfaceGuid(settings.csUsbioInterfaceGuid, &guid);
    return guid;
}

namespace {

// A TCP port number, blanks around it allowed: 1 to 65535.
BOOL IsTcpPortText(CString csText) {
    csText.Trim();
    if (csText.IsEmpty() || csText.GetLength() > 5 || csText.SpanIncluding("0123456789") != csText)
        return FALSE;
    const long lPort = atol(csText);
    return lPort >= 1 && lPort <= 65535;
}

}  // namespace

BOOL ApplyConnectionSettings(const ConnectionSettings& settings, CString& csError) {
    if (settings.bIPPortGiven && !IsTcpPortText(settings.csIPPort)) {
        csError.Format("Error in [Connection] IPPort: %s is not a TCP port number from 1 to 65535",
                       (LPCTSTR)QuotedExcerpt(settings.csIPPort));
        return FALSE;
    }
    GUID guid;
    if (settings.bUsbioInterfaceGuidGiven && !ParseInterfaceGuid(settings.csUsbioInterfaceGuid, &guid)) {
        csError.Format("Error in [Connection] UsbioInterfaceGuid: %s is not a GUID "
                       "{xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}",
                       (LPCTSTR)QuotedExcerpt(settings.csUsbioInterfaceGuid));
        return FALSE;
    }
    if (!settings.bUsbDeviceIdsGiven) {
        SetTerminalUsbIds(NULL, 0);
        return TRUE;
    }
    TerminalUsbId ids[TERMINAL_USB_ID_MAX];
    int nCount = 0;
    CString csWhy;
    if (!ParseTerminalUsbIds(settings.csUsbDeviceIds, ids, &nCount, csWhy)) {
        csError = "Error in [Connection] UsbDeviceIds: " + csWhy;
        return FALSE;
    }
    SetTerminalUsbIds(ids, nCount);
    return TRUE;
}

signed char ConnectTerminal() {
    if (g_pDebugFile != NULL || g_pTerminalLink != NULL)
        DisconnectTerminal();

    // No registry key: the key check's log records nothing.
    g_pDebugFile = new CDebugFile("");

    // Says on standard error what the file did not give; the run goes on regardless.
    ExplainInputFile(g_szInputFile);
    ConnectionSettings settings;
    ReadConnectionSettings(g_szInputFile, settings);
    CString csError;
    if (!ApplyConnectionSettings(settings, csError)) {
        std::cerr << (LPCSTR)csError << std::endl;
        return CONNECT_FAILED;
    }

    // A kind without a port still gets its link; the link then simply cannot open.
    CPort* pPort = CreateTerminalPort(settings, g_pDebugFile);
    g_pTerminalLink = new CTerminalLink(pPort, PROTOCOL_VLI);

    if (g_pTerminalLink->OpenPort() && g_pTerminalLink->IsOpen()) {
        g_pTerminalLink->SetReadWriteTimeout(LinkReadWriteTimeout());
        return CONNECT_OK;
    }
    ExplainOpenFailure(settings, pPort, ::GetLastError());
    return CONNECT_FAILED;
}

void DisconnectTerminal() {
    if (g_pTerminalLink != NULL) {
        g_pTerminalLink->ClosePort();
        delete g_pTerminalLink;
        g_pTerminalLink = NULL;
    }
    if (g_pDebugFile != NULL) {
        delete g_pDebugFile;
        g_pDebugFile = NULL;
    }
}
