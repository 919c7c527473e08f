#include "Protocol.h"

#include <string.h>

#include "Port.h"

CProtocol::CProtocol(CTerminalLink* pLink, CPort* pPort) : m_pPort(pPort), m_pLink(pLink) {}

CProtocol::~CProtocol() {
    m_pPort = NULL;
    m_pLink = NULL;
}

CString CProtocol::FormatFrameTrace(const BYTE* pBytes, DWORD dwLength) {
    static const char kHex[] = "0123456789ABCDEF";
    CString csTrace;
    if (dwLength == 0 || pBytes == NULL) {
        csTrace = "[]";
        return csTrace;
    }
    // Built in one buffer: frames reach 65,535 bytes and the trace is made for every one.
    const DWORD dwChars = 2 + dwLength * 3 - 1;
    char* pOut = csTrace.GetBuffer((int)dwChars);
    DWORD i = 0;
    pOut[i++] = '[';
    for (DWORD n = 0; n < dwLength; ++n) {
        if (n != 0)
            pOut[i++] = ' ';
        pOut[i++] = kHex[pBytes[n] >> 4];
        pOut[i++] = kHex[pBytes[n] & 0x0F];
    }
    pOut[i++] = ']';
    csTrace.ReleaseBuffer((int)i);
    return csTrace;
}

BYTE CProtocol::XorChecksum(const BYTE* pBuffer, int nLength) {
    if (pBuffer == NULL)
        return 0;
    const DWORD dwLength = nLength == -1 ? (DWORD)strlen((const char*)pBuffer)
                           : nLength > 0 ? (DWORD)nLength
                                         : 0;
    BYTE by = 0;
    for (DWORD i = 0; i < dwLength; ++i)
        by ^= pBuffer[i];
    return by;
}

BOOL CProtocol::XorChecksumMatches(const BYTE* pBuffer, DWORD dwLength) {
    if (pBuffer == NULL || dwLength == 0)
        return FALSE;
    return pBuffer[dwLength - 1] == XorChecksum(pBuffer, (int)(dwLength - 1));
}

BOOL CProtocol::XorChecksumMatches(LPCSTR pszText) {
    // The checksum character itself is not part of what it covers.
    if (pszText == NULL || pszText[0] == '\0')
        return FALSE;
    return XorChecksumMatches((const BYTE*)pszText, (DWORD)strlen(pszText));
}

BOOL CProtocol::ReadRestOfFrame(BYTE* pBuffer, DWORD dwSize, DWORD dwCount, DWORD dwTotal) {
    if (dwTotal <= dwCount)
        return TRUE;
    const DWORD dwMissing = dwTotal - dwCount;
    DWORD dwGot = dwMissing;
    return m_pPort->Read(pBuffer + dwCount, dwSize - dwCount, &dwGot) && dwGot == dwMissing;
}
