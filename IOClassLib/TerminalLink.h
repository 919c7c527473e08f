// The one way from the application to the terminal: binds a port to a framing protocol,
// owns both, and passes commands and reply requests to the protocol while the port is open.
#pragma once

#include <afx.h>
#include <windows.h>

class CPort;
class CProtocol;

class CTerminalLink {
public:
    // Takes ownership of pPort. nProtocol: 0 raw, 1 VLI, 2 STX/ETX, anything else VLI.
    CTerminalLink(CPort* pPort, int nProtocol);
    // Deletes the port first, then the protocol.
    virtual ~CTerminalLink();

    void SetProtocol(int nProtocol);

    BOOL OpenPort();
    BOOL ClosePort();
    BOOL IsOpen();

    // Both return 0 and leave the port alone without a protocol or an open port.
    DWORD SendPacket(BYTE byCommand, const BYTE* pData, DWORD dwLength, CString& csTrace);
    DWORD ReceivePacket(CString& csData, CString& csTrace);
    // TRUE once a SendPacket has put at least one byte on the port: a link that has never
    // done so may have a device that takes no writes at all.
    BOOL HasSent() const { return m_bSent; }

    CPort* GetPort() { return m_pPort; }
    CProtocol* GetProtocol() { return m_pProtocol; }

    void FlushReceiveBuffer();
    BOOL IsDataAvailableSupported();
    BOOL IsDataAvailable();
    void SetOwner(DWORD dwOwner);
    void ReleaseOwner(DWORD dwOwner);

    DWORD GetReadWriteTimeout();
    void SetReadWriteTimeout(DWORD dwValue);
    DWORD GetReadTimeoutModifier();
    void SetReadTimeoutModifier(DWORD dwValue);
    DWORD GetCurrentReadTimeout();
    void SetCurrentReadTimeout(DWORD dwValue);
    DWORD GetReadTimeoutExtension();
    void SetReadTimeoutExtension(DWORD dwValue);
    DWORD GetLastPortError();
    void SetLastPortError(DWORD dwValue);
    BOOL GetFirstRetry();
    void SetFirstRetry(BOOL bValue);
    BOOL GetSecondRetry();
    void SetSecondRetry(BOOL bValue);

private:
    CTerminalLink(const CTerminalLink&) = delete;
    CTerminalLink& operator=(const CTerminalLink&) = delete;

    CPort* m_pPort;
    CProtocol* m_pProtocol;
    BOOL m_bSent;
};
