// The protocol without framing on the way out: the caller's data go to the port as they
// are and the command byte is not sent. A reply is one length-prefixed frame ending in
// an XOR checksum.
#pragma once

#include "Protocol.h"

#define RAW_RX_BUFFER_SIZE 300
#define RAW_COMMAND_LAST_PLATFORM_ERROR 0x81

class CRawProtocol : public CProtocol {
public:
    CRawProtocol(CTerminalLink* pLink, CPort* pPort);
    virtual ~CRawProtocol();

    virtual DWORD nSendPacket(BYTE byCommand, const BYTE* pData, DWORD dwLength, CString& csTrace);
    virtual DWORD nReceivePacket(CString& csData, CString& csTrace);
    virtual BYTE Checksum(const BYTE* pBuffer, int nLength);
    virtual BOOL VerifyChecksum(const BYTE* pBuffer, DWORD dwLength);
    virtual BOOL VerifyChecksum(LPCSTR pszText);

    // The command byte of the last send, although it never goes on the wire: the reply
    // to 0x81 must not be reported again, or the error query would start over for ever.
    BYTE m_LastCommand;
};
