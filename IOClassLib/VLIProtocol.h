// VLI framing: 05, a length (one byte, or 00 and 16 bits for long frames), the command
// byte, the data and an XOR checksum. The status of every reply is handed to the error
// reporting, which may run a nested 0x81 exchange through this same object.
#pragma once

#include "Protocol.h"

#define VLI_FRAME_START 0x05
// The smallest frame: start, length, command, checksum.
#define VLI_HEADER_LENGTH 4
#define VLI_RX_BUFFER_SIZE 1025
#define VLI_MAX_DATA_LENGTH 65529
#define VLI_MAX_SHORT_FRAME 255
#define VLI_COMMAND_LAST_PLATFORM_ERROR 0x81
#define VLI_REPLY_TYPE_Q 0x71

class CVLIProtocol : public CProtocol {
public:
    enum { HEADER_LENGTH = VLI_HEADER_LENGTH };

    CVLIProtocol(CTerminalLink* pLink, CPort* pPort);
    virtual ~CVLIProtocol();

    virtual DWORD nSendPacket(BYTE byCommand, const BYTE* pData, DWORD dwLength, CString& csTrace);
    virtual DWORD nReceivePacket(CString& csData, CString& csTrace);
    virtual BYTE Checksum(const BYTE* pBuffer, int nLength);
    virtual BOOL VerifyChecksum(const BYTE* pBuffer, DWORD dwLength);
    virtual BOOL VerifyChecksum(LPCSTR pszText);

    // The command byte of the last send, also when nothing could be sent: the reply to
    // 0x81 is never handed to the error reporting, which is what stops the query recursing.
    BYTE m_LastCommand;
    BYTE m_RxBuffer[VLI_RX_BUFFER_SIZE];

private:
    // Reads and checks one frame into m_RxBuffer; the frame length, or 0.
    DWORD ReadFrame();
};
