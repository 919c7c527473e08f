#include <afx.h>

#include <vector>

const HANDLE CFile::hFileNull = INVALID_HANDLE_VALUE;

namespace {

// The full path the way the system resolves the name; the name as given when it
// cannot be resolved.
CString FullPath(LPCTSTR lpszFileName) {
    DWORD n = GetFullPathNameA(lpszFileName, 0, NULL, NULL);
    if (n == 0)
        return CString(lpszFileName);
    std::vector<char> buffer(n + 1);
    DWORD got = GetFullPathNameA(lpszFileName, static_cast<DWORD>(buffer.size()), buffer.data(), NULL);
    if (got == 0 || got >= buffer.size())
        return CString(lpszFileName);
    return CString(buffer.data(), static_cast<int>(got));
}

[[noreturn]] void ThrowLastError(const CString& strFileName) {
    CFileException::ThrowOsError(static_cast<LONG>(GetLastError()), strFileName);
}

// SetFilePointer with 64-bit offsets; the new position. The low part may legitimately be
// 0xFFFFFFFF, so only the error code tells failure.
ULONGLONG MoveFilePointer(HANDLE hFile, LONGLONG lOff, DWORD dwMethod, const CString& strFileName) {
    LONG lHigh = static_cast<LONG>(static_cast<ULONGLONG>(lOff) >> 32);
    SetLastError(NO_ERROR);
    DWORD dwLow = SetFilePointer(hFile, static_cast<LONG>(static_cast<DWORD>(lOff)), &lHigh, dwMethod);
    if (dwLow == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR)
        ThrowLastError(strFileName);
    return (static_cast<ULONGLONG>(static_cast<DWORD>(lHigh)) << 32) | dwLow;
}

}  // namespace

CFile::CFile() : m_hFile(hFileNull), m_bCloseOnDelete(FALSE) {}

CFile::CFile(HANDLE hFile) : m_hFile(hFile), m_bCloseOnDelete(FALSE) {}

CFile::CFile(LPCTSTR lpszFileName, UINT nOpenFlags) : CFile() {
    CFileException e(CFileException::none, -1, NULL);
    if (!Open(lpszFileName, nOpenFlags, &e))
        AfxThrowFileException(e.m_cause, e.m_lOsError, e.m_strFileName);
}

// A destructor must not throw: a failing close is dropped here, as Abort does.
CFile::~CFile() {
    if (m_hFile != hFileNull && m_bCloseOnDelete)
        Abort();
}

BOOL CFile::Open(LPCTSTR lpszFileName, UINT nOpenFlags, CFileException* pError) {
    // Reopening an open object would leak its handle.
    if (m_hFile != hFileNull && m_bCloseOnDelete)
        Abort();
    m_bCloseOnDelete = FALSE;
    m_hFile = hFileNull;
    if (lpszFileName == NULL)
        lpszFileName = "";
    m_strFileName = FullPath(lpszFileName);

    DWORD dwAccess = 0;
    switch (nOpenFlags & 3) {
    case modeRead: dwAccess = GENERIC_READ; break;
    case modeWrite: dwAccess = GENERIC_WRITE; break;
    case modeReadWrite: dwAccess = GENERIC_READ | GENERIC_WRITE; break;
    default: dwAccess = GENERIC_READ; break;
    }

    // The compatibility mode is taken as exclusive, as the framework does.
    DWORD dwShareMode = 0;
    switch (nOpenFlags & 0x70) {
    case shareDenyWrite: dwShareMode = FILE_SHARE_READ; break;
    case shareDenyRead: dwShareMode = FILE_SHARE_WRITE; break;
    case shareDenyNone: dwShareMode = FILE_SHARE_READ | FILE_SHARE_WRITE; break;
    default: dwShareMode = 0; break;
    }

    SECURITY_ATTRIBUTES sa;
    sa.nLength = sizeof sa;
    sa.lpSecurityDescriptor = NULL;
    sa.bInheritHandle = (nOpenFlags & modeNoInherit) == 0;

    DWORD dwCreateFlag;
    if (nOpenFlags & modeCreate)
        dwCreateFlag = (nOpenFlags & modeNoTruncate) ? OPEN_ALWAYS : CREATE_ALWAYS;
    else
        dwCreateFlag = OPEN_EXISTING;

    HANDLE hFile =
        CreateFileA(lpszFileName, dwAccess, dwShareMode, &sa, dwCreateFlag, FILE_ATTRIBUTE_NORMAL, NULL);
    if (hFile == INVALID_HANDLE_VALUE) {
        if (pError != NULL) {
            pError->m_lOsError = static_cast<LONG>(GetLastError());
            pError->m_cause = CFileException::OsErrorToException(pError->m_lOsError);
            // The name as the caller gave it, not the expanded one.
            pError->m_strFileName = lpszFileName;
        }
        m_strFileName.Empty();
        return FALSE;
    }
    m_hFile = hFile;
    m_bCloseOnDelete = TRUE;
    return TRUE;
}

UINT CFile::Read(void* lpBuf, UINT nCount) {
    if (nCount == 0)
        return 0;
    DWORD dwRead = 0;
    if (!ReadFile(m_hFile, lpBuf, nCount, &dwRead, NULL))
        ThrowLastError(m_strFileName);
    return dwRead;
}

void CFile::Write(const void* lpBuf, UINT nCount) {
    if (nCount == 0)
        return;
    DWORD dwWritten = 0;
    if (!WriteFile(m_hFile, lpBuf, nCount, &dwWritten, NULL))
        ThrowLastError(m_strFileName);
    // A short write means the medium is full.
    if (dwWritten != nCount)
        AfxThrowFileException(CFileException::diskFull, -1, m_strFileName);
}

ULONGLONG CFile::Seek(LONGLONG lOff, UINT nFrom) {
    return MoveFilePointer(m_hFile, lOff, nFrom, m_strFileName);
}

ULONGLONG CFile::GetPosition() const { return MoveFilePointer(m_hFile, 0, FILE_CURRENT, m_strFileName); }

ULONGLONG CFile::GetLength() const {
    DWORD dwHigh = 0;
    SetLastError(NO_ERROR);
    DWORD dwLow = GetFileSize(m_hFile, &dwHigh);
    if (dwLow == INVALID_FILE_SIZE && GetLastError() != NO_ERROR)
        ThrowLastError(m_strFileName);
    return (static_cast<ULONGLONG>(dwHigh) << 32) | dwLow;
}

void CFile::Close() {
    BOOL bError = FALSE;
    DWORD dwError = NO_ERROR;
    if (m_hFile != hFileNull) {
        bError = !CloseHandle(m_hFile);
        if (bError)
            dwError = GetLastError();
    }
    CString strFileName = m_strFileName;
    m_hFile = hFileNull;
    m_bCloseOnDelete = FALSE;
    m_strFileName.Empty();
    if (bError)
        CFileException::ThrowOsError(static_cast<LONG>(dwError), strFileName);
}

void CFile::Abort() {
    if (m_hFile != hFileNull)
        CloseHandle(m_hFile);
    m_hFile = hFileNull;
    m_bCloseOnDelete = FALSE;
    m_strFileName.Empty();
}

CString CFile::GetFileName() const {
    int n = m_strFileName.GetLength();
    int start = n;
    while (start > 0) {
        char c = m_strFileName[start - 1];
        if (c == '\\' || c == '/' || c == ':')
            break;
        --start;
    }
    return m_strFileName.Mid(start);
}

void CFile::Rename(LPCTSTR lpszOldName, LPCTSTR lpszNewName) {
    if (!MoveFileA(lpszOldName, lpszNewName))
        ThrowLastError(CString(lpszOldName));
}

void CFile::Remove(LPCTSTR lpszFileName) {
    if (!DeleteFileA(lpszFileName))
        ThrowLastError(CString(lpszFileName));
}
