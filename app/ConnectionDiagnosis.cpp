// Winsock's header has to come before anything that brings in <windows.h>.
#include <winsock2.h>

#include "ConnectionDiagnosis.h"

#include <ctype.h>
#include <stdlib.h>

#include <algorithm>
#include <iostream>
#include <vector>

#include "Connection.h"
#include "FileDiagnosis.h"
#include "IniFileReader.h"
#include "Port.h"
#include "UsbDeviceSurvey.h"

namespace {

const char kSection[] = "Connection";
// The keys the set-up looks up, in its order.
const char* const kConnectionKeys[] = {
    "ConnectType", "Port",      "Baudrate", "Parity",       "ByteSize",
    "StopBits",    "IPAddress", "IPPort",   "UsbDeviceIds", "UsbioInterfaceGuid"};
// Numbers read with atoi; a malformed IPPort is refused by the set-up itself.
const char* const kNumberKeys[] = {"Baudrate", "Parity", "ByteSize", "StopBits"};
const int kMaxQuotedChars = 60;
const char* const kConnectTypes[] = {"Serial Port", "USB Device", "TCP/IP Port", "USBIO Device"};

template <size_t N>
bool IsOneOf(const CString& cs, const char* const (&names)[N]) {
    for (const char* psz : names)
        if (cs == psz)
            return true;
    return false;
}

// Why the reader rejects a file whose bytes are plain text: the first line it cannot take.
CString FirstBadLine(const std::vector<BYTE>& bytes) {
    CStringArray arrLines;
    CIniFileReader::SplitLines(bytes.data(), (DWORD)bytes.size(), arrLines, '\r', '\n');
    bool bInSection = false;
    for (INT_PTR i = 0; i < arrLines.GetSize(); ++i) {
        const CString& csLine = arrLines[i];
        CString csBlank = csLine;
        csBlank.Remove(' ');
        if (csLine[0] == '#' || csBlank.IsEmpty())
            continue;
        const int a = csLine.Find('['), b = csLine.Find(']');
        if (a >= 0 && b > a + 1) {
            bInSection = true;
            continue;
        }
        CString csText;
        if (csLine.Find('=') < 0)
            csText.Format("line %s is neither a comment, a [section] nor a key=value line",
                          (LPCTSTR)QuotedExcerpt(csLine));
        else if (!bInSection)
            csText.Format("line %s comes before the first [section]", (LPCTSTR)QuotedExcerpt(csLine));
        else
            continue;
        return csText;
    }
    return "it cannot be parsed";
}

CString WithoutFullStop(const char* pszText) {
    CString cs = pszText;
    cs.TrimRight(".");
    return cs;
}

CString FileProblem(LPCSTR pszIniFile, CIniFileReader& reader) {
    if (pszIniFile == NULL || pszIniFile[0] == '\0')
        return "no input file named";

    std::vector<BYTE> bytes(CIniFileReader::MAX_FILE_BYTES);
    UINT nRead = 0;
    CString csWhy;
    try {
        CFile file;
        CFileException error;
        if (!file.Open(pszIniFile, CFile::modeRead | CFile::shareDenyNone, &error)) {
            char szReason[256] = {0};
            error.GetErrorMessage(szReason, sizeof(szReason));
            csWhy.Format(
                "cannot be read: %s",
                (LPCTSTR)DescribeFileFailure(pszIniFile, (DWORD)error.m_lOsError, WithoutFullStop(szReason)));
            return csWhy;
        }
        nRead = file.Read(bytes.data(), CIniFileReader::MAX_FILE_BYTES);
        file.Close();
    } catch (CFileException* e) {
        char szReason[256] = {0};
        e->GetErrorMessage(szReason, sizeof(szReason));
        e->Delete();
        csWhy.Format("cannot be read: %s", (LPCTSTR)WithoutFullStop(szReason));
        return csWhy;
    }
    bytes.resize(nRead);
    if (nRead == 0)
        return "is empty";
    if (nRead < CIniFileReader::MIN_FILE_BYTES) {
        csWhy.Format("is too short (%u bytes)", nRead);
        return csWhy;
    }
    for (UINT i = 0; i < nRead; ++i) {
        if (bytes[i] == 0 || bytes[i] > 127) {
            csWhy.Format("is not 7-bit text (byte 0x%02X at offset %u)", bytes[i], i);
            return csWhy;
        }
    }
    if (!reader.Load(pszIniFile)) {
        csWhy.Format("is malformed: %s", (LPCTSTR)FirstBadLine(bytes));
        return csWhy;
    }
    if (reader.GetSection(kSection) == NULL)
        return "has no [Connection] section (the name is matched exactly)";
    return "";
}

void NoteKey(CStringArray& arrNotes, const CString& csKey, const CString& csValue) {
    CString csNote;
    if (IsOneOf(csKey, kConnectionKeys)) {
        if (csKey == "ConnectType") {
            CString csType = csValue;
            csType.Trim();
            if (!IsOneOf(csType, kConnectTypes)) {
                csNote.Format("ConnectType %s is none of \"Serial Port\", \"USB Device\", \"TCP/IP Port\", "
                              "\"USBIO Device\" (case counts); the serial port is used",
                              (LPCTSTR)QuotedExcerpt(csValue));
                arrNotes.Add(csNote);
            }
        } else if (IsOneOf(csKey, kNumberKeys)) {
            const char* psz = csValue;
            while (isspace((unsigned char)*psz))
                ++psz;
            if (*psz == '+' || *psz == '-')
                ++psz;
            const char* pszDigits = psz;
            while (isdigit((unsigned char)*psz))
                ++psz;
            if (psz == pszDigits || *psz != '\0') {
                csNote.Format("%s %s is not a plain number; it reads as %d", (LPCTSTR)csKey,
                              (LPCTSTR)QuotedExcerpt(csValue), atoi(csValue));
                arrNotes.Add(csNote);
            }
        } else if ((csKey == "Port" || csKey == "IPAddress") && !csValue.IsEmpty() &&
                   (csValue[0] == ' ' || csValue[csValue.GetLength() - 1] == ' ')) {
            csNote.Format("%s %s has blanks around it; it is used as written", (LPCTSTR)csKey,
                          (LPCTSTR)QuotedExcerpt(csValue));
            arrNotes.Add(csNote);
        }
        return;
    }
    CString csTrimmed = csKey;
    csTrimmed.Trim();
    for (const char* pszKnown : kConnectionKeys) {
        if (csTrimmed.CompareNoCase(pszKnown) == 0) {
            csNote.Format("key %s is not \"%s\" (%s); keys are matched exactly, so %s keeps its default",
                          (LPCTSTR)QuotedExcerpt(csKey), pszKnown,
                          csTrimmed == pszKnown ? "blanks around the '='" : "letter case", pszKnown);
            arrNotes.Add(csNote);
            return;
        }
    }
}

struct ErrorReason {
    DWORD dwError;
    const char* pszReason;
};

// Windows names a COM port that another program holds ERROR_ACCESS_DENIED, and so does our
// Linux layer for a device this user may not open: the code alone cannot tell the two apart.
const ErrorReason kDeviceReasons[] = {
    {ERROR_FILE_NOT_FOUND, "no such device"},
    {ERROR_PATH_NOT_FOUND, "no such device"},
    {ERROR_DEV_NOT_EXIST, "no such device"},
    {ERROR_DEVICE_NOT_CONNECTED, "the device is gone"},
    {ERROR_BAD_UNIT, "no such device"},
    {ERROR_ACCESS_DENIED,
     "access denied: another program has it open, or this user may not open it (serial ports: group "
     "dialout; the terminal's USB devices: group plugdev, with the package's udev rules); keyprobe-check "
     "tells which"},
    {ERROR_SHARING_VIOLATION, "busy: another program has it open"},
    {ERROR_BUSY, "busy: another program has it open"},
    {ERROR_INVALID_FUNCTION, "the device is not a serial port"},
    {ERROR_NOT_SUPPORTED, "the device does not support what the port needs"},
};

const ErrorReason kSocketReasons[] = {
    {WSAECONNREFUSED, "connection refused: nothing listens there"},
    {WSAETIMEDOUT, "no answer: the connection attempt timed out"},
    {WSAEHOSTUNREACH, "the host cannot be reached"},
    {WSAENETUNREACH, "the network cannot be reached"},
    {WSAHOST_NOT_FOUND, "no such host"},
    {WSAEADDRNOTAVAIL, "the address cannot be used"},
};

template <size_t N>
const char* FindReason(const ErrorReason (&table)[N], DWORD dwError) {
    for (const ErrorReason& entry : table)
        if (entry.dwError == dwError)
            return entry.pszReason;
    return NULL;
}

}  // namespace

CString QuotedExcerpt(const CString& csText) {
    CString cs;
    if (csText.GetLength() <= kMaxQuotedChars)
        cs.Format("\"%s\"", (LPCTSTR)csText);
    else
        cs.Format("\"%s...\" (%d characters)", (LPCTSTR)csText.Left(kMaxQuotedChars), csText.GetLength());
    return cs;
}

void ExamineInputFile(LPCSTR pszIniFile, InputFileFindings& findings) {
    findings.csFileProblem.Empty();
    findings.arrKeysRead.RemoveAll();
    findings.arrKeyNotes.RemoveAll();

    CIniFileReader reader;
    findings.csFileProblem = FileProblem(pszIniFile, reader);
    if (!findings.csFileProblem.IsEmpty())
        return;

    CMapStringToString* pSection = reader.GetSection(kSection);
    CString csValue;
    for (const char* pszKey : kConnectionKeys)
        if (pSection->Lookup(pszKey, csValue))
            findings.arrKeysRead.Add(pszKey);

    // The map has no order of its own; sorting keeps the notes in a stable order.
    std::vector<CString> keys;
    CString csKey;
    for (POSITION pos = pSection->GetStartPosition(); pos != NULL;) {
        pSection->GetNextAssoc(pos, csKey, csValue);
        keys.push_back(csKey);
    }
    std::sort(keys.begin(), keys.end(), [](const CString& a, const CString& b) { return a.Compare(b) < 0; });
    for (const CString& key : keys) {
        pSection->Lookup(key, csValue);
        NoteKey(findings.arrKeyNotes, key, csValue);
    }
}

CString DescribeConnection(const ConnectionSettings& settings) {
    CString cs;
    switch (settings.nPortKind) {
    case PORT_KIND_SERIAL:
        cs.Format("Serial Port %s, Baudrate %d, Parity %d, ByteSize %d, StopBits %d",
                  (LPCTSTR)settings.csPort, settings.nBaudrate, settings.nParity, settings.nByteSize,
                  settings.nStopBits);
        break;
    case PORT_KIND_TCPIP:
        cs.Format("TCP/IP Port %s:%d", (LPCTSTR)settings.csIPAddress, settings.nIPPort);
        break;
    case PORT_KIND_USB_HID: cs = "USB Device (the terminal's USB HID interface)"; break;
    case PORT_KIND_USBIO: cs = "USBIO Device (the terminal on the USBIO driver interface)"; break;
    default: cs.Format("port kind %d", settings.nPortKind); break;
    }
    return cs;
}

CString DescribeOpenFailure(const ConnectionSettings& settings, DWORD dwError, CString* pcsFix) {
    CString csFix, csWhy;
    if (settings.nPortKind == PORT_KIND_USB_HID || settings.nPortKind == PORT_KIND_USBIO)
        csWhy = ExplainMissingTerminal(settings, SurveyUsbDevices(settings), csFix);
    if (pcsFix != NULL)
        *pcsFix = csFix;
    CString cs;
    if (!csWhy.IsEmpty()) {
        cs.Format("cannot open %s: %s", (LPCTSTR)DescribeConnection(settings), (LPCTSTR)csWhy);
        return cs;
    }

    const char* pszReason = NULL;
    if (settings.nPortKind == PORT_KIND_TCPIP)
        pszReason = FindReason(kSocketReasons, dwError);
    if (pszReason == NULL)
        pszReason = FindReason(kDeviceReasons, dwError);
    if (settings.nPortKind == PORT_KIND_SERIAL && dwError == ERROR_INVALID_PARAMETER)
        pszReason = "the port does not take these line settings";
    if (pszReason != NULL)
        csWhy.Format("%s (error %lu)", pszReason, (unsigned long)dwError);
    else if (dwError == ERROR_SUCCESS)
        csWhy = "no reason given";
    else
        csWhy.Format("error %lu", (unsigned long)dwError);
    cs.Format("cannot open %s: %s", (LPCTSTR)DescribeConnection(settings), (LPCTSTR)csWhy);
    return cs;
}

DWORD OpenFailureCode(CPort* pPort, DWORD dwThreadLastError) {
    if (pPort != NULL && pPort->GetLastPortError() != ERROR_SUCCESS)
        return pPort->GetLastPortError();
    return dwThreadLastError;
}

void ExplainInputFile(LPCSTR pszIniFile, std::ostream& err) {
    InputFileFindings findings;
    ExamineInputFile(pszIniFile, findings);
    const char* pszName = pszIniFile != NULL ? pszIniFile : "";
    if (!findings.csFileProblem.IsEmpty()) {
        ConnectionSettings defaults;
        err << "input file " << pszName << " " << (LPCTSTR)findings.csFileProblem << "; using the defaults ("
            << (LPCTSTR)DescribeConnection(defaults) << ")" << std::endl;
        return;
    }
    for (INT_PTR i = 0; i < findings.arrKeyNotes.GetSize(); ++i)
        err << "input file " << pszName << ", [Connection]: " << (LPCTSTR)findings.arrKeyNotes[i]
            << std::endl;
}

void ExplainOpenFailure(const ConnectionSettings& settings, CPort* pPort, DWORD dwThreadLastError,
                        std::ostream& err) {
    if (pPort == NULL) {
        err << "cannot open " << (LPCTSTR)DescribeConnection(settings)
            << ": this build has no port of that kind" << std::endl;
        return;
    }
    CString csFix;
    err << (LPCTSTR)DescribeOpenFailure(settings, OpenFailureCode(pPort, dwThreadLastError), &csFix)
        << std::endl;
    if (!csFix.IsEmpty())
        err << "fix: " << (LPCTSTR)csFix << std::endl;
}

void ExplainInputFile(LPCSTR pszIniFile) { ExplainInputFile(pszIniFile, std::cerr); }

void ExplainOpenFailure(const ConnectionSettings& settings, CPort* pPort, DWORD dwThreadLastError) {
    ExplainOpenFailure(settings, pPort, dwThreadLastError, std::cerr);
}
