#include "Protocol.h"

CProtocol::CProtocol(CTerminalLink* pLink, CPort* pPort) : m_pPort(pPort), m_pLink(pLink) {}

CProtocol::~CProtocol()
{
    m_pPort = NULL;
    m_pLink = NULL;
}

CString CProtocol::FormatFrameTrace(const BYTE* pBytes, DWORD dwLength)
{
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
