// The library's diagnostic sink: stamped lines collected in memory and appended to a
// text file in blocks, switched on per device through the registry and rotated to a
// time-stamped name when the file grows too big.
#pragma once

#include <afx.h>
#include <afxmt.h>
#include <windows.h>

class CTerminalLink;

// A client that shows the terminal's own words: it hears what each query for the last
// platform error brought back, while the log lines stay as they are.
class CPlatformErrorObserver {
public:
    virtual ~CPlatformErrorObserver() {}
    // bReplied: a reply came that carries a code (at least 7 bytes, status not 0xF0).
    // csText: the terminal's description, zero bytes included; empty when it gave none.
    virtual void OnLastPlatformError(BOOL bReplied, unsigned nCode, const CString& csText) = 0;
};

class CDebugFile {
public:
    // pszRegKey: base key path below HKEY_LOCAL_MACHINE; the device name of the first line
    // logged is appended to it without a separator. An empty path switches the log off
    // for good.
    explicit CDebugFile(LPCTSTR pszRegKey);
    ~CDebugFile();

    // Logs one line. Never reports anything to its caller and never disturbs it: a log
    // that is off, or a file that cannot be written, only loses lines. Takes no lock but
    // the log's own, so callers may hold theirs.
    void Log(int nErrorCode, LPCTSTR pszText, LPCTSTR pszDeviceName);
    // Writes the waiting lines and closes the file.
    void CloseFile();

    // Logs an error status of a terminal reply (0x00, 0x80 and 0xF0 are not errors) and
    // then asks the terminal for its last platform error over the link.
    void ReportInterfaceAppError(CTerminalLink* pLink, BYTE byStatus, LPCTSTR pszDeviceName);
    // Exchanges command 0x81 with the terminal and logs the code and description it gives.
    void ReportLastPlatformError(CTerminalLink* pLink, LPCTSTR pszDeviceName);
    // NULL for none. Called on the thread of the query, inside the receive that brought the
    // error status; returns the observer it replaces.
    CPlatformErrorObserver* SetPlatformErrorObserver(CPlatformErrorObserver* pObserver);

private:
    CDebugFile(const CDebugFile&) = delete;
    CDebugFile& operator=(const CDebugFile&) = delete;

    BOOL OpenFromRegistry(LPCTSTR pszDeviceName);
    BOOL OpenLogFile();
    void WriteBlock();
    void Rotate();
    void DiscardBuffer();

    CString m_csRegKey;
    CString m_csFileName;
    CFile m_File;
    BOOL m_bOpen;
    int m_nFlushLines;
    DWORD m_dwMaxFileSize;
    DWORD m_nLines;
    CString m_csBuffer;
    DWORD m_dwStartTick;
    CSemaphore m_Semaphore;
    CPlatformErrorObserver* m_pPlatformErrorObserver;
};
