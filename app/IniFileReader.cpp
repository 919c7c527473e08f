#include "IniFileReader.h"

#include <vector>

CIniFileReader::CIniFileReader() : m_Sections(10) {}

// Clear is the owner's job, but a reader dropped without it must not take its key
// tables with it into a leak; after a Clear this finds nothing left to free.
CIniFileReader::~CIniFileReader() { Clear(); }

BOOL CIniFileReader::Load(CString csPath) {
    if (csPath.IsEmpty())
        return FALSE;
    m_csCurrentSection.Empty();

    std::vector<BYTE> buffer(MAX_FILE_BYTES);
    UINT nRead = 0;
    try {
        CFile file;
        if (!file.Open(csPath, CFile::modeRead | CFile::shareDenyNone))
            return FALSE;
        try {
            nRead = file.Read(buffer.data(), MAX_FILE_BYTES);
        } catch (CFileException* e) {
            e->Delete();
            nRead = 0;
        }
        file.Close();
    } catch (CFileException* e) {
        e->Delete();
        return FALSE;
    }
    if (nRead == 0)
        return FALSE;

    if (!IsPlainText(buffer.data(), nRead, MIN_FILE_BYTES))
        return FALSE;

    CStringArray arrLines;
    SplitLines(buffer.data(), nRead, arrLines, '\r', '\n');
    if (!ParseLines(arrLines))
        return FALSE;

    m_csCurrentSection.Empty();
    return TRUE;
}

CMapStringToString* CIniFileReader::GetSection(LPCTSTR pszSection) const {
    CObject* pTable = NULL;
    if (pszSection == NULL || !m_Sections.Lookup(pszSection, pTable))
        return NULL;
    return static_cast<CMapStringToString*>(pTable);
}

void CIniFileReader::Clear() {
    POSITION pos = m_Sections.GetStartPosition();
    while (pos != NULL) {
        CString csName;
        CObject* pTable = NULL;
        m_Sections.GetNextAssoc(pos, csName, pTable);
        CMapStringToString* pKeys = static_cast<CMapStringToString*>(pTable);
        if (pKeys != NULL) {
            pKeys->RemoveAll();
            delete pKeys;
        }
    }
    m_Sections.RemoveAll();
}

BOOL CIniFileReader::IsPlainText(const BYTE* pBuffer, DWORD dwLength, DWORD dwMinLength) {
    if (pBuffer == NULL || dwLength < dwMinLength)
        return FALSE;
    for (DWORD i = 0; i < dwLength; ++i) {
        if (pBuffer[i] == 0 || pBuffer[i] > 127)
            return FALSE;
    }
    return TRUE;
}

void CIniFileReader::SplitLines(const BYTE* pBuffer, DWORD dwLength, CStringArray& arrLines, char cDelimiter1,
                                char cDelimiter2) {
    if (pBuffer == NULL)
        return;
    const char* pText = reinterpret_cast<const char*>(pBuffer);
    DWORD dwStart = 0;
    for (DWORD i = 0; i <= dwLength; ++i) {
        const bool bEnd = (i == dwLength);
        if (!bEnd && pText[i] != cDelimiter1 && pText[i] != cDelimiter2)
            continue;
        // Empty pieces are dropped, so a CR LF pair and two single breaks cut alike.
        if (i > dwStart)
            arrLines.Add(CString(pText + dwStart, (int)(i - dwStart)));
        dwStart = i + 1;
    }
}

BOOL CIniFileReader::ParseLines(const CStringArray& arrLines) {
    for (INT_PTR i = 0; i < arrLines.GetSize(); ++i) {
        const CString& csLine = arrLines[i];
        if (csLine.IsEmpty() || csLine[0] == '#')
            continue;

        // Tabs do not count as blank: a line of tabs is malformed, not empty.
        CString csStripped = csLine;
        csStripped.Remove(' ');
        csStripped.Remove('\r');
        csStripped.Remove('\n');
        if (csStripped.IsEmpty())
            continue;

        const int nOpen = csLine.Find('[');
        const int nClose = csLine.Find(']');
        if (nOpen >= 0 && nClose > nOpen + 1) {
            m_csCurrentSection = csLine.Mid(nOpen + 1, nClose - nOpen - 1);
            CObject* pTable = NULL;
            // A repeated section adds to the table of its first appearance.
            if (!m_Sections.Lookup(m_csCurrentSection, pTable))
                m_Sections.SetAt(m_csCurrentSection, new CMapStringToString(10));
            continue;
        }

        const int nEquals = csLine.Find('=');
        if (nEquals < 0)
            return FALSE;
        CMapStringToString* pKeys = GetSection(m_csCurrentSection);
        if (pKeys == NULL)
            return FALSE;
        pKeys->SetAt(csLine.Left(nEquals), csLine.Mid(nEquals + 1));
    }
    return TRUE;
}
