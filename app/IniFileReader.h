// Strict reader of the small INI files that describe a connection: 7-bit text only,
// keys and values exactly as written, and one malformed line rejects the whole file.
#pragma once

#include <afx.h>
#include <afxcoll.h>
#include <windows.h>

class CIniFileReader {
public:
    // Only this much of a file is read; the rest is ignored.
    enum { MAX_FILE_BYTES = 65536, MIN_FILE_BYTES = 3 };

    CIniFileReader();
    virtual ~CIniFileReader();

    // Reads and parses the file; FALSE on any failure, without a message. Sections parsed
    // before a malformed line stay in the table.
    BOOL Load(CString csPath);
    // The key table of the section of exactly that name, or NULL. Owned by the reader.
    CMapStringToString* GetSection(LPCTSTR pszSection) const;
    // Deletes every key table and empties the section table.
    void Clear();

    // TRUE when the buffer holds at least dwMinLength bytes, all between 1 and 127.
    static BOOL IsPlainText(const BYTE* pBuffer, DWORD dwLength, DWORD dwMinLength);
    // Appends the non-empty pieces between line breaks to arrLines; a break is either
    // delimiter, or the first immediately followed by the second.
    static void SplitLines(const BYTE* pBuffer, DWORD dwLength, CStringArray& arrLines, char cDelimiter1,
                           char cDelimiter2);
    BOOL ParseLines(const CStringArray& arrLines);

private:
    CIniFileReader(const CIniFileReader&) = delete;
    CIniFileReader& operator=(const CIniFileReader&) = delete;

    CString m_csCurrentSection;
    CMapStringToOb m_Sections;
};
