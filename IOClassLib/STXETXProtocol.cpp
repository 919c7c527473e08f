#include "STXETXProtocol.h"

#include <string.h>

#include <vector>

#include "Port.h"

CSTXETXProtocol::CSTXETXProtocol(CTerminalLink* pLink, CPort* pPort) : CProtocol(pLink, pPort) {}

CSTXETXProtocol::~CSTXETXProtocol() {}

namespace {

// Collects the frame from the first STX to the byte after the first ETX out of everything
// received so far; true once that byte is there. Bytes after it are ignored.
bool ScanFrame(const BYTE* pBuffer, DWORD dwCount, std::vector<BYTE>& frame) {
    frame.clear();
    bool bInFrame = false;
    bool bLrcNext = false;
    for (DWORD i = 0; i < dwCount; ++i) {
        if (!bInFrame) {
            if (pBuffer[i] != STXETX_STX)
                continue;
            bInFrame = true;
        }
        frame.push_back(pBuffer[i]);
        if (bLrcNext)
            return true;
        if (pBuffer[i] == STXETX_ETX)
            bLrcNext = true;
    }
    return false;
}

}  // namespace

DWORD CSTXETXProtocol::nSendPacket(BYTE /*byCommand*/, const BYTE* pData, DWORD dwLength, CString& csTrace) {
    OutputDebugStringA("CSTXETXProtocol::nSendPacket entered.");
    if (m_pPort == NULL || (pData == NULL && dwLength != 0))
        return 0;

    std::vector<BYTE> frame;
    if (dwLength != 0 && pData[0] == STXETX_STX) {
        // Already a framed message: it goes out as it stands.
        frame.assign(pData, pData + dwLength);
    } else {
        frame.reserve(dwLength + 3);
        frame.push_back(STXETX_STX);
        frame.insert(frame.end(), pData, pData + dwLength);
        frame.push_back(STXETX_ETX);
        frame.push_back(Checksum(frame.data(), (int)frame.size()));
    }

    csTrace = FormatFrameTrace(frame.data(), (DWORD)frame.size());
    m_pPort->FlushReceiveBuffer();
    OutputDebugStringA("CSTXETXProtocol::nSendPacket before m_pPort->Write.");
    DWORD dwWritten = (DWORD)frame.size();
    m_pPort->Write(frame.data(), (DWORD)frame.size(), &dwWritten);
    OutputDebugStringA("CSTXETXProtocol::nSendPacket exiting.");
    return 1;
}

DWORD CSTXETXProtocol::nReceivePacket(CString& csData, CString& csTrace) {
    OutputDebugStringA("CSTXETXProtocol::nReceivePacket entered.");
    csData.Empty();
    if (m_pPort == NULL || !m_pPort->IsOpen())
        return 0;

    std::vector<BYTE> buffer(STXETX_RX_BUFFER_SIZE);
    DWORD dwResult = 0;
    DWORD dwCount = 1;
    if (m_pPort->Read(buffer.data(), (DWORD)buffer.size(), &dwCount) && dwCount >= 1 &&
        buffer[0] == STXETX_ACK) {
        // The ACK counts as received; a port that delivered more with it has already
        // brought the start of the frame.
        std::vector<BYTE> frame;
        const DWORD dwStart = ::GetTickCount();
        BOOL bFirstRead = TRUE;
        for (;;) {
            if (dwCount > 1 && ScanFrame(buffer.data(), dwCount, frame))
                break;
            if (dwCount >= STXETX_RECEIVE_LIMIT)
                break;
            // The frame's pieces must all come within the time-out of the first read.
            if (!bFirstRead && m_pPort->LimitReadWait(1) == 0) {
                frame.clear();
                break;
            }
            const DWORD dwRoom = (DWORD)buffer.size() - dwCount;
            const DWORD dwStep = m_pPort->m_wInputPacketSize != 0 ? m_pPort->m_wInputPacketSize : 1;
            const DWORD dwAsk = dwStep < dwRoom ? dwStep : dwRoom;
            DWORD dwGot = dwAsk;
            // A read that ends early still reports what it delivered; one that failed
            // without saying how much delivered nothing.
            const BOOL bOk = m_pPort->Read(buffer.data() + dwCount, dwRoom, &dwGot);
            dwGot = CountMoved(bOk, dwAsk, dwGot);
            if (bFirstRead) {
                BoundLaterReads(dwStart);
                bFirstRead = FALSE;
            }
            OutputDebugStringA("CSTXETXProtocol::nReceivePacket after m_pPort->Read.");
            if (dwGot == 0 || dwGot > dwRoom) {
                frame.clear();
                break;
            }
            dwCount += dwGot;
        }
        m_pPort->ClearReadDeadline();

        csTrace = FormatFrameTrace(frame.data(), (DWORD)frame.size());
        const BYTE byAck = STXETX_ACK;
        const BYTE byNak = STXETX_NAK;
        if (frame.size() > 2 && VerifyChecksum(frame.data(), (DWORD)frame.size())) {
            csData = CString((LPCSTR)frame.data() + 1, (int)frame.size() - 3);
            DWORD dwOne = 1;
            m_pPort->Write(&byAck, 1, &dwOne);
            dwResult = 1;
        } else if (!frame.empty()) {
            DWORD dwOne = 1;
            m_pPort->Write(&byNak, 1, &dwOne);
        }
    }

    OutputDebugStringA("CSTXETXProtocol::nReceivePacket exiting.");
    return dwResult;
}

BYTE CSTXETXProtocol::Checksum(const BYTE* pBuffer, int nLength) {
    if (pBuffer == NULL)
        return 0;
    const DWORD dwLength = nLength == -1 ? (DWORD)strlen((const char*)pBuffer)
                           : nLength > 0 ? (DWORD)nLength
                                         : 0;
    BYTE byLrc = 0;
    for (DWORD i = 0; i < dwLength; ++i) {
        if (i == 0 && pBuffer[i] == STXETX_STX)
            continue;
        byLrc ^= pBuffer[i];
        if (pBuffer[i] == STXETX_ETX)
            break;
    }
    return byLrc;
}

BOOL CSTXETXProtocol::VerifyChecksum(const BYTE* pBuffer, DWORD dwLength) {
    if (pBuffer == NULL || dwLength == 0)
        return FALSE;
    return pBuffer[dwLength - 1] == Checksum(pBuffer, (int)(dwLength - 1));
}

BOOL CSTXETXProtocol::VerifyChecksum(LPCSTR pszText) {
    if (pszText == NULL || pszText[0] == '\0')
        return FALSE;
    const size_t nLength = strlen(pszText);
    return (BYTE)pszText[nLength - 1] == Checksum((const BYTE*)pszText, -1);
}
