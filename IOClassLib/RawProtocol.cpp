#include "RawProtocol.h"

#include <string.h>

#include "DebugFile.h"
#include "Port.h"

namespace {

const char kSourceFile[] = "IOClassLib/RawProtocol.cpp";
const int kSendTraceLine = 35;
const int kReceiveTraceLine = 105;

}  // namespace

CRawProtocol::CRawProtocol(CTerminalLink* pLink, CPort* pPort) : CProtocol(pLink, pPort), m_LastCommand(0) {}

CRawProtocol::~CRawProtocol() {}

DWORD CRawProtocol::nSendPacket(BYTE byCommand, const BYTE* pData, DWORD dwLength, CString& /*csTrace*/) {
    if (m_pPort == NULL)
        return 0;
    BOOL bWithTime = TRUE;
    m_pPort->BeginTransaction(m_pPort->FormatSemaphoreTrace("CRawProtocol::nSendPacket()", kSourceFile,
                                                            kSendTraceLine, &bWithTime));
    m_LastCommand = byCommand;

    DWORD dwResult = 0;
    if (dwLength != 0 && pData != NULL) {
        m_pPort->FlushReceiveBuffer();
        OutputDebugStringA("CRawProtocol::nSendPacket before m_pPort->Write.");
        DWORD dwWritten = dwLength;
        const BOOL bWritten = m_pPort->Write(pData, dwLength, &dwWritten);
        dwWritten = CountMoved(bWritten, dwLength, dwWritten);
        dwResult = dwWritten < dwLength ? dwWritten : dwLength;
    }
    OutputDebugStringA("CRawProtocol::nSendPacket exiting.");
    return dwResult;
}

DWORD CRawProtocol::nReceivePacket(CString& csData, CString& /*csTrace*/) {
    OutputDebugStringA("CRawProtocol::nReceivePacket entered.");
    csData.Empty();
    if (m_pPort == NULL)
        return 0;

    BYTE abyBuffer[RAW_RX_BUFFER_SIZE];
    DWORD dwResult = 0;
    DWORD dwCount = 0;
    // A port may complete the frame in the first read; what it brought counts.
    if (m_pPort->IsOpen() && GatherBytes(abyBuffer, sizeof(abyBuffer), dwCount, 2, 2)) {
        const DWORD dwTotal = abyBuffer[1];
        if (dwTotal >= 2 && GatherBytes(abyBuffer, sizeof(abyBuffer), dwCount, dwTotal, dwTotal)) {
            OutputDebugStringA("CRawProtocol::nReceivePacket after m_pPort->Read.");
            if (VerifyChecksum(abyBuffer, dwTotal)) {
                csData = CString((LPCSTR)abyBuffer, (int)dwTotal);
                dwResult = dwTotal;
            }
        }
    }

    if (dwResult > 3 && m_LastCommand != RAW_COMMAND_LAST_PLATFORM_ERROR && m_pPort->m_pDebugFile != NULL)
        m_pPort->m_pDebugFile->ReportInterfaceAppError(m_pLink, (BYTE)csData[3], m_pPort->m_csDeviceName);

    BOOL bWithTime = TRUE;
    m_pPort->EndTransaction(m_pPort->FormatSemaphoreTrace("CRawProtocol::nReceivePacket()", kSourceFile,
                                                          kReceiveTraceLine, &bWithTime));
    OutputDebugStringA("CRawProtocol::nReceivePacket exiting.");
    return dwResult;
}

BYTE CRawProtocol::Checksum(const BYTE* pBuffer, int nLength) { return XorChecksum(pBuffer, nLength); }

BOOL CRawProtocol::VerifyChecksum(const BYTE* pBuffer, DWORD dwLength) {
    return XorChecksumMatches(pBuffer, dwLength);
}

BOOL CRawProtocol::VerifyChecksum(LPCSTR pszText) { return XorChecksumMatches(pszText); }
