// STX/ETX framing: STX, the message text, ETX and an LRC; frames are acknowledged with
// ACK or refused with NAK. The command byte is not sent: the data are the whole message.
#pragma once

#include "Protocol.h"

#define STXETX_STX 0x02
#define STXETX_ETX 0x03
#define STXETX_ACK 0x06
#define STXETX_NAK 0x15
// Bytes collected for one reply before giving up; the buffer holds twice that.
#define STXETX_RECEIVE_LIMIT 513
#define STXETX_RX_BUFFER_SIZE (2 * STXETX_RECEIVE_LIMIT)

class CSTXETXProtocol : public CProtocol {
public:
    CSTXETXProtocol(CTerminalLink* pLink, CPort* pPort);
    virtual ~CSTXETXProtocol();

    virtual DWORD nSendPacket(BYTE byCommand, const BYTE* pData, DWORD dwLength, CString& csTrace);
    virtual DWORD nReceivePacket(CString& csData, CString& csTrace);
    // The LRC: XOR from the first byte, a leading STX left out, up to and including the
    // first ETX.
    virtual BYTE Checksum(const BYTE* pBuffer, int nLength);
    virtual BOOL VerifyChecksum(const BYTE* pBuffer, DWORD dwLength);
    virtual BOOL VerifyChecksum(LPCSTR pszText);
};
