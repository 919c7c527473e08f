#include "HidReports.h"

#include <string.h>

namespace {

const int kProtocolRaw = 0;
const int kProtocolStxEtx = 2;

}  // namespace

DWORD BuildHidOutputReport(BYTE* pReport, WORD wReportLength, const BYTE* pData, DWORD dwRemaining) {
    memset(pReport, 0, wReportLength);
    const DWORD dwRoom = (DWORD)wReportLength - 2;
    const DWORD dwChunk = dwRemaining < dwRoom ? dwRemaining : dwRoom;
    pReport[0] = HID_OUTPUT_REPORT_ID;
    pReport[1] = (BYTE)dwChunk;
    if (dwChunk > 0)
        memcpy(pReport + 2, pData, dwChunk);
    return dwChunk;
}

HidReplyAssembler::HidReplyAssembler(int nProtocolType, DWORD dwWanted, BYTE* pBuffer, DWORD dwBufferSize)
    : m_nProtocolType(nProtocolType),
      m_dwWanted(dwWanted),
      m_pBuffer(pBuffer),
      m_dwBufferSize(pBuffer != NULL ? dwBufferSize : 0),
      m_dwExpected(HID_DEFAULT_REPLY_LENGTH),
      m_dwReceived(0),
      m_bFirstReport(TRUE),
      m_bOverflowed(FALSE),
      m_bLengthKnown(FALSE),
      m_dwHeaderBytes(0) {
    memset(m_abyHeader, 0, sizeof(m_abyHeader));
}

DWORD HidReplyAssembler::TakeReport(const BYTE* pReport, DWORD dwTransferred) {
    DWORD dwChunk;
    if (m_nProtocolType == kProtocolStxEtx)
        dwChunk = m_dwWanted == 1 ? 1 : dwTransferred;
    else
        dwChunk = pReport[1];
    // The report buffer ends HID_INPUT_BUFFER_SIZE bytes after its start, whatever the read
    // claimed to deliver.
    if (dwChunk > HID_INPUT_BUFFER_SIZE - 2)
        dwChunk = HID_INPUT_BUFFER_SIZE - 2;

    DWORD dwCopy = m_dwExpected > m_dwReceived ? m_dwExpected - m_dwReceived : 0;
    if (dwCopy > dwChunk)
        dwCopy = dwChunk;
    // Bytes past the end of the caller's buffer are counted but not stored; the reply is
    // then spoilt and the read fails.
    const DWORD dwRoom = m_dwReceived < m_dwBufferSize ? m_dwBufferSize - m_dwReceived : 0;
    if (dwCopy > dwRoom) {
        m_bOverflowed = TRUE;
        dwCopy = dwRoom;
    }
    if (dwCopy > 0)
        memcpy(m_pBuffer + m_dwReceived, pReport + 2, dwCopy);
    m_dwReceived += dwChunk;

    if (m_bFirstReport) {
        m_bFirstReport = FALSE;
        if (m_nProtocolType == kProtocolRaw)
            m_dwExpected = pReport[1];
        else if (m_nProtocolType == kProtocolStxEtx)
            m_dwExpected = m_dwWanted == 1 ? 1 : pReport[1];
    }
    if (m_nProtocolType != kProtocolRaw && m_nProtocolType != kProtocolStxEtx && !m_bLengthKnown) {
        // A VLI frame's length field may come reports after its start (a terminal that
        // sends byte by byte): the frame's own bytes decide, once enough of them are in.
        for (DWORD i = 0; i < dwChunk && m_dwHeaderBytes < sizeof(m_abyHeader); ++i)
            m_abyHeader[m_dwHeaderBytes++] = pReport[2 + i];
        if (m_dwHeaderBytes >= 2 && m_abyHeader[1] != 0) {
            m_dwExpected = m_abyHeader[1];
            m_bLengthKnown = TRUE;
        } else if (m_dwHeaderBytes >= 4) {
            // Byte 1 is 0: the 16-bit length after it, low byte first.
            m_dwExpected = (DWORD)m_abyHeader[2] + 256u * (DWORD)m_abyHeader[3];
            m_bLengthKnown = TRUE;
        }
    }
    return dwChunk;
}
