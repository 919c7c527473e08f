#include "DebugFile.h"

#include <afxdisp.h>

#include <stdio.h>
#include <stdlib.h>
#include <time.h>

#include <vector>

#include "TerminalLink.h"

CDebugFile::CDebugFile(LPCTSTR pszRegKey)
    : m_csRegKey(pszRegKey != NULL ? pszRegKey : ""),
      m_bOpen(FALSE),
      m_nFlushLines(100),
      m_dwMaxFileSize(5120000),
      m_nLines(0),
      m_dwStartTick(0),
      m_Semaphore(1, 2),
      m_pPlatformErrorObserver(NULL) {}

CDebugFile::~CDebugFile() { CloseFile(); }

void CDebugFile::Log(int nErrorCode, LPCTSTR pszText, LPCTSTR pszDeviceName) {
    // A log built without a key is off for good and must cost its callers nothing.
    if (m_csRegKey.IsEmpty())
        return;
    if (pszText == NULL)
        pszText = "";
    if (pszDeviceName == NULL)
        pszDeviceName = "";

    CSingleLock lock(&m_Semaphore, TRUE);
    // Whatever goes wrong in here stays in here: a caller's I/O path never notices its log.
    try {
        if (!m_bOpen && !OpenFromRegistry(pszDeviceName))
            return;

        CString csNow = COleDateTime::GetCurrentTime().Format(0, LANG_USER_DEFAULT);
        DWORD dwElapsed = (::GetTickCount() - m_dwStartTick) % 100000;

        CString csLine;
        csLine.Format("%s (%05d ms)\tEC%04d\tDevice name [%s] - %s\r\n", (LPCTSTR)csNow, (int)dwElapsed,
                      nErrorCode, pszDeviceName, pszText);
        m_csBuffer += csLine;
        ++m_nLines;
        if (m_nLines == (DWORD)m_nFlushLines)
            WriteBlock();
    } catch (CException* e) {
        e->Delete();
    } catch (...) {
    }
}

void CDebugFile::CloseFile() {
    CSingleLock lock(&m_Semaphore, TRUE);
    if (!m_bOpen)
        return;
    try {
        if (m_nLines != 0)
            m_File.Write((LPCTSTR)m_csBuffer, (UINT)m_csBuffer.GetLength());
    } catch (CException* e) {
        e->Delete();
    }
    DiscardBuffer();
    try {
        m_File.Close();
    } catch (CException* e) {
        e->Delete();
    }
    m_bOpen = FALSE;
}

BOOL CDebugFile::OpenFromRegistry(LPCTSTR pszDeviceName) {
    // No separator: a base key meant to hold per-device subkeys ends in a backslash.
    CString csKey = m_csRegKey;
    csKey += pszDeviceName;

    HKEY hKey = NULL;
    if (::RegOpenKeyExA(HKEY_LOCAL_MACHINE, csKey, 0, KEY_READ, &hKey) != ERROR_SUCCESS)
        return FALSE;

    // A value shorter than four bytes fills only its own bytes; the rest count as zero.
    DWORD dwUseDebugFile = 0;
    DWORD cbData = sizeof(dwUseDebugFile);
    if (::RegQueryValueExA(hKey, "UseDebugFile", NULL, NULL, (LPBYTE)&dwUseDebugFile, &cbData) !=
            ERROR_SUCCESS ||
        dwUseDebugFile == 0) {
        ::RegCloseKey(hKey);
        return FALSE;
    }

    // One byte beyond what the registry may fill, so that a value stored without its
    // terminating zero still ends inside the buffer.
    char szFileName[MAX_PATH + 1] = {0};
    cbData = MAX_PATH;
    LONG lResult = ::RegQueryValueExA(hKey, "DebugFile", NULL, NULL, (LPBYTE)szFileName, &cbData);
    ::RegCloseKey(hKey);
    if (lResult != ERROR_SUCCESS)
        return FALSE;

    m_csFileName = szFileName;
    return OpenLogFile();
}

BOOL CDebugFile::OpenLogFile() {
    // Full sharing: other processes may append to the same log while this one writes.
    if (!m_File.Open(m_csFileName, CFile::modeWrite | CFile::shareDenyNone) &&
        !m_File.Open(m_csFileName, CFile::modeCreate | CFile::modeWrite | CFile::shareDenyNone))
        return FALSE;

    try {
        m_File.SeekToEnd();
    } catch (CException* e) {
        // Writing from the start would overwrite what the file holds: rather stay off.
        e->Delete();
        try {
            m_File.Close();
        } catch (CException* e2) {
            e2->Delete();
        }
        return FALSE;
    }
    m_dwStartTick = ::GetTickCount();
    m_bOpen = TRUE;
    return TRUE;
}

void CDebugFile::WriteBlock() {
    const UINT nBlockLength = (UINT)m_csBuffer.GetLength();
    BOOL bRotate = FALSE;
    try {
        m_File.Write((LPCTSTR)m_csBuffer, nBlockLength);
        BOOL bTooBig = (ULONGLONG)m_File.GetLength() > (ULONGLONG)m_dwMaxFileSize;

        // Another process sharing the file may have appended behind this writer; only the
        // writer that added the last block rotates, so that two writers never both move it.
        ULONGLONG ullPosition = m_File.GetPosition();
        ULONGLONG ullEnd = m_File.SeekToEnd();
        m_File.Seek((LONGLONG)ullPosition, CFile::begin);
        bRotate = bTooBig && (ULONGLONG)(ullEnd - ullPosition) < (ULONGLONG)nBlockLength;
    } catch (CException* e) {
        // A block that cannot be written is lost; keeping it would only grow the buffer
        // for as long as the file stays unwritable.
        e->Delete();
        bRotate = FALSE;
    }
    if (bRotate)
        Rotate();
    DiscardBuffer();
}

void CDebugFile::Rotate() {
    CString csOldPath = m_File.GetFilePath();
    try {
        m_File.Close();
    } catch (CException* e) {
        e->Delete();
    }
    m_bOpen = FALSE;

    // Every part of a split path is at most as long as the path itself.
    const size_t nPathSize = (size_t)csOldPath.GetLength() + 1;
    std::vector<char> drive(nPathSize + 3), dir(nPathSize), fname(nPathSize), ext(nPathSize);
    _splitpath(csOldPath, drive.data(), dir.data(), fname.data(), ext.data());

    time_t now = time(NULL);
    const struct tm* ptm = localtime(&now);
    if (ptm != NULL) {
        char szStamp[64];
        sprintf(szStamp, "%.4d%.2d%.2d%.2d%.2d%.2d", ptm->tm_year + 1900, ptm->tm_mon + 1, ptm->tm_mday,
                ptm->tm_hour, ptm->tm_min, ptm->tm_sec);
        CString csNewName;
        csNewName.Format("%s_%s", fname.data(), szStamp);

        // Room for the separators _makepath may add.
        const size_t nJoinedSize = nPathSize + sizeof(szStamp) + 8;
        std::vector<char> oldPath(nJoinedSize), newPath(nJoinedSize);
        _makepath(oldPath.data(), drive.data(), dir.data(), fname.data(), ext.data());
        _makepath(newPath.data(), drive.data(), dir.data(), csNewName, ext.data());
        try {
            CFile::Rename(oldPath.data(), newPath.data());
        } catch (CException* e) {
            // The stamped name may be taken (two rotations within a second) or the file
            // held by another process: go on in the same file and try again at the next
            // block.
            e->Delete();
        }
    }

    // Without the rename this reopens the old file and appends to it. If even that fails
    // the log is closed, and the next line goes back to the registry for a file.
    OpenLogFile();
}

void CDebugFile::DiscardBuffer() {
    m_nLines = 0;
    m_csBuffer.Empty();
}

// ---------------------------------------------------------------------------------------
// Error reporting over the terminal link: ReportInterfaceAppError, ReportLastPlatformError.
// ---------------------------------------------------------------------------------------

namespace {

const BYTE kCommandLastPlatformError = 0x81;
// Start, length, command, status, two code bytes and the checksum.
const int kMinPlatformErrorReply = 7;

bool IsSuccessStatus(BYTE byStatus) { return byStatus == 0x00 || byStatus == 0x80 || byStatus == 0xF0; }

}  // namespace

void CDebugFile::ReportInterfaceAppError(CTerminalLink* pLink, BYTE byStatus, LPCTSTR pszDeviceName) {
    if (IsSuccessStatus(byStatus))
        return;
    CString csText;
    csText.Format("Orvik-Interface-App error code=0x%X", (unsigned)byStatus);
    Log(0, csText, pszDeviceName);
    ReportLastPlatformError(pLink, pszDeviceName);
}

void CDebugFile::ReportLastPlatformError(CTerminalLink* pLink, LPCTSTR pszDeviceName) {
    CString csDescription("Not available");
    CString csTerminalText;
    unsigned nCode = 0;
    BOOL bReplied = FALSE;

    // The query goes out whether or not this log is switched on.
    if (pLink != NULL) {
        CString csTrace;
        pLink->SendPacket(kCommandLastPlatformError, NULL, 0, csTrace);
        CString csReply;
        const DWORD dwReceived = pLink->ReceivePacket(csReply, csTrace);
        const int nReply = csReply.GetLength();
        if (dwReceived >= (DWORD)kMinPlatformErrorReply && nReply >= kMinPlatformErrorReply &&
            (BYTE)csReply[3] != 0xF0) {
            const BYTE* pReply = (const BYTE*)(LPCSTR)csReply;
            bReplied = TRUE;
            nCode = pReply[4] + 256u * pReply[5];
            const int nTextLength = (int)pReply[1] - kMinPlatformErrorReply;
            if (nTextLength > 0) {
                const int nAvailable = nReply - 6;
                csTerminalText =
                    CString((LPCSTR)pReply + 6, nTextLength < nAvailable ? nTextLength : nAvailable);
                csDescription = csTerminalText;
            }
        }
    }

    CString csText;
    csText.Format("Last platform error code from device=0x%X, desc=%s\n", nCode, (LPCSTR)csDescription);
    Log(0, csText, pszDeviceName);
    if (m_pPlatformErrorObserver != NULL)
        m_pPlatformErrorObserver->OnLastPlatformError(bReplied, nCode, csTerminalText);
}

CPlatformErrorObserver* CDebugFile::SetPlatformErrorObserver(CPlatformErrorObserver* pObserver) {
    CPlatformErrorObserver* pPrevious = m_pPlatformErrorObserver;
    m_pPlatformErrorObserver = pObserver;
    return pPrevious;
}
