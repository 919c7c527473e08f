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

DWORD CProtocol::CountMoved(BOOL bOk, DWORD dwAsked, DWORD dwReported) {
    if (!bOk && dwReported >= dwAsked)
        return 0;
    return dwReported;
}

void CProtocol::BoundLaterReads(DWORD dwStart) {
    // The port has just told, in m_CurrentReadTimeout, how long it let that read wait; a
    // port that keeps no such figure waits its read/write time-out.
    const DWORD dwBudget =
        m_pPort->m_CurrentReadTimeout != 0 ? m_pPort->m_CurrentReadTimeout : m_pPort->m_ReadWriteTimeout;
    // A budget past what tick arithmetic holds (INFINITE among them) sets no deadline: the
    // sum would wrap and leave the later reads no time at all.
    if (dwBudget >= 0x80000000u) {
        m_pPort->ClearReadDeadline();
        return;
    }
    m_pPort->SetReadDeadline(dwStart + dwBudget);
}

BOOL CProtocol::GatherBytes(BYTE* pBuffer, DWORD dwSize, DWORD& dwCount, DWORD dwNeeded, DWORD dwFirstAsk,
                            BOOL* pbReadFailed) {
    if (pbReadFailed != NULL)
        *pbReadFailed = FALSE;
    if (dwNeeded > dwSize)
        return FALSE;
    const DWORD dwStart = ::GetTickCount();
    BOOL bFirst = TRUE;
    while (dwCount < dwNeeded) {
        const DWORD dwGoal =
            bFirst && dwFirstAsk > dwNeeded ? (dwFirstAsk < dwSize ? dwFirstAsk : dwSize) : dwNeeded;
        DWORD dwGot = dwGoal - dwCount;
        const BOOL bOk = m_pPort->Read(pBuffer + dwCount, dwSize - dwCount, &dwGot);
        if (bFirst) {
            BoundLaterReads(dwStart);
            bFirst = FALSE;
        }
        if (!bOk) {
            if (pbReadFailed != NULL)
                *pbReadFailed = TRUE;
            break;
        }
        // A read of nothing is a closed connection (or a port with nothing more to give):
        // asking again would only spin.
        if (dwGot == 0 || dwGot > dwSize - dwCount)
            break;
        dwCount += dwGot;
        if (dwCount < dwNeeded && m_pPort->LimitReadWait(1) == 0)
            break;
    }
    m_pPort->ClearReadDeadline();
    return dwCount >= dwNeeded;
}
