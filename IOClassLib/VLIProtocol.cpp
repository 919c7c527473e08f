#include "VLIProtocol.h"

#include <string.h>

#include "DebugFile.h"
#include "Port.h"

namespace {

const char kSourceFile[] = "IOClassLib/VLIProtocol.cpp";
const int kSendTraceLine = 54;
const int kReceiveTraceLine = 337;

// The smallest long frame: start, 00, two length bytes, command, checksum.
const DWORD kMinLongFrame = VLI_HEADER_LENGTH + 2;
}  // namespace

CVLIProtocol::CVLIProtocol(CTerminalLink* pLink, CPort* pPort) : CProtocol(pLink, pPort), m_LastCommand(0) {
    memset(m_RxBuffer, 0, sizeof(m_RxBuffer));
}

CVLIProtocol::~CVLIProtocol() {}

DWORD CVLIProtocol::nSendPacket(BYTE byCommand, const BYTE* pData, DWORD dwLength, CString& csTrace) {
    OutputDebugStringA("CVLIProtocol::nSendPacket entered.");
    if (m_pPort == NULL)
        return 0;

    BOOL bWithTime = TRUE;
    m_pPort->BeginTransaction(m_pPort->FormatSemaphoreTrace(" CVLIProtocol::nSendPacket()", kSourceFile,
                                                            kSendTraceLine, &bWithTime));

    BYTE abyFrame[65536];
    DWORD dwFrameLength = 0;
    // Data that are announced but not given cannot be framed: nothing goes out.
    const bool bDataPresent = pData != NULL || dwLength == 0;
    if (bDataPresent && dwLength <= VLI_MAX_DATA_LENGTH) {
        abyFrame[0] = VLI_FRAME_START;
        if (dwLength + VLI_HEADER_LENGTH <= VLI_MAX_SHORT_FRAME) {
            abyFrame[1] = (BYTE)(dwLength + VLI_HEADER_LENGTH);
            abyFrame[2] = byCommand;
            if (dwLength != 0)
                memcpy(abyFrame + 3, pData, dwLength);
            dwFrameLength = 3 + dwLength;
        } else {
            const DWORD dwTotal = dwLength + 6;
            abyFrame[1] = 0x00;
            abyFrame[2] = (BYTE)(dwTotal & 0xFF);
            abyFrame[3] = (BYTE)((dwTotal >> 8) & 0xFF);
            abyFrame[4] = byCommand;
            memcpy(abyFrame + 5, pData, dwLength);
            dwFrameLength = 5 + dwLength;
        }
    }

    if (dwFrameLength != 0) {
        abyFrame[dwFrameLength] = Checksum(abyFrame, (int)dwFrameLength);
        ++dwFrameLength;
        // Whatever an earlier exchange left unread must not pass for this command's reply.
        m_pPort->FlushReceiveBuffer();
        OutputDebugStringA("CVLIProtocol::nSendPacket before m_pPort->Write.");
        DWORD dwWritten = dwFrameLength;
        const BOOL bWritten = m_pPort->Write(abyFrame, dwFrameLength, &dwWritten);
        dwWritten = CountMoved(bWritten, dwFrameLength, dwWritten);
        dwFrameLength = dwWritten < dwFrameLength ? dwWritten : dwFrameLength;
    }

    csTrace = FormatFrameTrace(abyFrame, dwFrameLength);
    m_LastCommand = byCommand;
    OutputDebugStringA("CVLIProtocol::nSendPacket exiting.");
    return dwFrameLength;
}

DWORD CVLIProtocol::ReadFrame() {
    // The header is in once the smallest frame could be; the first read asks for one byte
    // more, the status byte of every reply.
    DWORD dwCount = 0;
    BOOL bReadFailed = FALSE;
    if (!GatherBytes(m_RxBuffer, sizeof(m_RxBuffer), dwCount, HEADER_LENGTH, HEADER_LENGTH + 1,
                     &bReadFailed)) {
        if (bReadFailed && dwCount == 0)
            OutputDebugStringA("CVLIProtocol::nReceivePacket m_pPort->Read false.");
        else
            OutputDebugStringA("CVLIProtocol::nReceivePacket m_pPort->Read dwLength < HEADER_LENGTH.");
        return 0;
    }
    OutputDebugStringA("CVLIProtocol::nReceivePacket after m_pPort->Read.");

    DWORD dwTotal;
    if (m_RxBuffer[1] != 0) {
        dwTotal = m_RxBuffer[1];
        // A length below the smallest frame would put the checksum inside the header.
        if (dwTotal < VLI_HEADER_LENGTH)
            return 0;
    } else {
        dwTotal = m_RxBuffer[2] + 256u * m_RxBuffer[3];
        if (dwTotal < kMinLongFrame)
            return 0;
    }
    if (dwTotal > sizeof(m_RxBuffer))
        return 0;

    // The rest of the frame gets a time-out of its own, as the header had.
    if (!GatherBytes(m_RxBuffer, sizeof(m_RxBuffer), dwCount, dwTotal, dwTotal) ||
        !XorChecksumMatches(m_RxBuffer, dwTotal))
        return 0;
    return dwTotal;
}

DWORD CVLIProtocol::nReceivePacket(CString& csData, CString& csTrace) {
    OutputDebugStringA("CVLIProtocol::nReceivePacket entered.");
    csData.Empty();
    csTrace.Empty();
    if (m_pPort == NULL)
        return 0;

    DWORD dwResult = 0;
    if (!m_pPort->IsOpen())
        OutputDebugStringA("CVLIProtocol::nReceivePacket m_pPort->IsOpen() false.");
    else
        dwResult = ReadFrame();

    if (dwResult != 0)
        // Copied out before anything else: the error reporting below may run a nested
        // exchange through this object, which reuses m_RxBuffer.
        csData = CString((LPCSTR)m_RxBuffer, (int)dwResult);

    if (dwResult > 3) {
        const BYTE* pFrame = (const BYTE*)(LPCSTR)csData;
        BYTE byStatus = 0;
        if (pFrame[1] != 0) {
            if (pFrame[2] != VLI_REPLY_TYPE_Q)
                byStatus = pFrame[3];
        } else if (dwResult > 5 && pFrame[4] != VLI_REPLY_TYPE_Q) {
            byStatus = pFrame[5];
        }
        if (m_LastCommand != VLI_COMMAND_LAST_PLATFORM_ERROR && m_pPort->m_pDebugFile != NULL)
            m_pPort->m_pDebugFile->ReportInterfaceAppError(m_pLink, byStatus, m_pPort->m_csDeviceName);
        csTrace = FormatFrameTrace((const BYTE*)(LPCSTR)csData, (DWORD)csData.GetLength());
        m_pPort->FlushReceiveBuffer();
    }

    BOOL bWithTime = TRUE;
    m_pPort->EndTransaction(m_pPort->FormatSemaphoreTrace("CVLIProtocol::nReceivePacket()", kSourceFile,
                                                          kReceiveTraceLine, &bWithTime));
    OutputDebugStringA("CVLIProtocol::nReceivePacket exiting.");
    return dwResult;
}

BYTE CVLIProtocol::Checksum(const BYTE* pBuffer, int nLength) { return XorChecksum(pBuffer, nLength); }

BOOL CVLIProtocol::VerifyChecksum(const BYTE* pBuffer, DWORD dwLength) {
    return XorChecksumMatches(pBuffer, dwLength);
}

BOOL CVLIProtocol::VerifyChecksum(LPCSTR pszText) { return XorChecksumMatches(pszText); }
