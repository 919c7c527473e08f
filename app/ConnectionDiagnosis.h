// Why a run uses other settings than its INI file seems to ask for, and why its port did
// not open, in words for a person at the console. The run itself stays as it is: these
// texts go to standard error only, and the device check shows the same findings.
#pragma once

#include <afx.h>
#include <afxcoll.h>
#include <windows.h>

#include <ostream>

struct ConnectionSettings;
class CPort;

// What reading one INI file gave.
struct InputFileFindings {
    // Empty when the file loaded and has a "Connection" section; otherwise why every
    // setting keeps its default ("cannot be read: ...", "is empty", ...).
    CString csFileProblem;
    // Connection keys found in the file, in the order the set-up looks them up.
    CStringArray arrKeysRead;
    // Remarks on single keys: a known key written with blanks or in another case, a
    // ConnectType that selects nothing, a number that reads as something else.
    CStringArray arrKeyNotes;
};

// A text from the input file in double quotes for a message: a long one is cut, with its
// length said, so that a 64 KB line does not fill the console.
CString QuotedExcerpt(const CString& csText);

// Examines the file the way the set-up reads it.
void ExamineInputFile(LPCSTR pszIniFile, InputFileFindings& findings);

// "Serial Port COM1 at 19200 baud", "TCP/IP Port 192.168.1.2:8009", ...
CString DescribeConnection(const ConnectionSettings& settings);

// Why opening the settings' port failed with a Win32 or Winsock error code, in one line;
// for the USB ports from a look at the devices present, since their error says only that
// no terminal was found. What would help goes to *pcsFix when one is asked for.
CString DescribeOpenFailure(const ConnectionSettings& settings, DWORD dwError, CString* pcsFix = NULL);

// The error a failed open left: the port's own, or else the thread's last error.
DWORD OpenFailureCode(CPort* pPort, DWORD dwThreadLastError);

// The lines keyprobe writes to standard error (or to err): nothing for a file that loads
// cleanly and has nothing odd about its keys.
void ExplainInputFile(LPCSTR pszIniFile, std::ostream& err);
void ExplainInputFile(LPCSTR pszIniFile);
void ExplainOpenFailure(const ConnectionSettings& settings, CPort* pPort, DWORD dwThreadLastError,
                        std::ostream& err);
void ExplainOpenFailure(const ConnectionSettings& settings, CPort* pPort, DWORD dwThreadLastError);
