// The terminal's HID report format: how a message is cut into output reports and how a
// reply is put together again from input reports. Kept apart from the port so that the
// rules can be exercised without a device.
//
// Byte 0 of every report is its ID (2 on output, not checked on input), byte 1 the number
// of payload bytes that follow from byte 2; the rest of the report is zero.
#pragma once

#include <windows.h>

#define HID_OUTPUT_REPORT_ID 2
// Lengths outside this range leave no room for payload or do not fit the count byte.
#define HID_MIN_REPORT_LENGTH 3
#define HID_MAX_REPORT_LENGTH 257
// What a reply is taken to be before its first report says otherwise, and the size of the
// buffer each input report is read into (one spare byte).
#define HID_DEFAULT_REPLY_LENGTH 4096
#define HID_INPUT_BUFFER_SIZE 4097

// Fills one wReportLength-byte output report with the next bytes of a message (at most
// wReportLength - 2 of dwRemaining) and returns how many it took. Needs wReportLength >= 3.
DWORD BuildHidOutputReport(BYTE* pReport, WORD wReportLength, const BYTE* pData, DWORD dwRemaining);

// Collects one reply from successive input reports into the caller's buffer. The framing
// over the port decides how long the reply is (raw: the first report's own count, so a raw
// reply is one report; STX/ETX: the first report's count; VLI: the frame's length field,
// however the reports cut it); until then it is taken to be HID_DEFAULT_REPLY_LENGTH bytes.
class HidReplyAssembler {
public:
    HidReplyAssembler(int nProtocolType, DWORD dwWanted, BYTE* pBuffer, DWORD dwBufferSize);

    // Takes one input report as read into a HID_INPUT_BUFFER_SIZE buffer; dwTransferred is
    // what the read delivered. Returns the chunk the report counts for.
    DWORD TakeReport(const BYTE* pReport, DWORD dwTransferred);

    BOOL IsComplete() const { return m_dwReceived >= m_dwExpected; }
    // Bytes counted so far; with Overflowed() it can be more than the buffer holds.
    DWORD Received() const { return m_dwReceived; }
    DWORD Expected() const { return m_dwExpected; }
    // Some of the reply did not fit the caller's buffer and was dropped.
    BOOL Overflowed() const { return m_bOverflowed; }

private:
    int m_nProtocolType;
    DWORD m_dwWanted;
    BYTE* m_pBuffer;
    DWORD m_dwBufferSize;
    DWORD m_dwExpected;
    DWORD m_dwReceived;
    BOOL m_bFirstReport;
    BOOL m_bOverflowed;
    // The first bytes of a VLI reply, kept until its length field is complete.
    BOOL m_bLengthKnown;
    BYTE m_abyHeader[4];
    DWORD m_dwHeaderBytes;
};
