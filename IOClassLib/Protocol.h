// The framing family: turns one command into the bytes that go over a port and the
// bytes that come back into one reply. The terminal link owns exactly one of these.
#pragma once

#include <afx.h>
#include <windows.h>

class CPort;
class CTerminalLink;

// Protocol numbers, as the terminal link and the port record them.
enum {
    PROTOCOL_RAW = 0,
    PROTOCOL_VLI = 1,
    PROTOCOL_STXETX = 2,
};

class CProtocol {
public:
    CProtocol(CTerminalLink* pLink, CPort* pPort);
    // Neither the port nor the link belongs to a protocol; both are only forgotten.
    virtual ~CProtocol();

    // Sends one command; the trace text receives what went to the port.
    virtual DWORD nSendPacket(BYTE byCommand, const BYTE* pData, DWORD dwLength, CString& csTrace) = 0;
    // Receives one reply into csData (one character per byte, zero bytes included).
    virtual DWORD nReceivePacket(CString& csData, CString& csTrace) = 0;
    // nLength -1 means up to the terminating zero.
    virtual BYTE Checksum(const BYTE* pBuffer, int nLength) = 0;
    virtual BOOL VerifyChecksum(const BYTE* pBuffer, DWORD dwLength) = 0;
    virtual BOOL VerifyChecksum(LPCSTR pszText) = 0;

    // "[05 04 16 17]": each byte as two upper-case hex digits, blank-separated; "[]" for none.
    static CString FormatFrameTrace(const BYTE* pBytes, DWORD dwLength);

protected:
    // The XOR checksum that the VLI and raw framings share: of the first nLength bytes
    // (-1: up to the terminating zero), and whether a buffer's or a text's last byte is
    // that checksum of the bytes before it.
    static BYTE XorChecksum(const BYTE* pBuffer, int nLength);
    static BOOL XorChecksumMatches(const BYTE* pBuffer, DWORD dwLength);
    static BOOL XorChecksumMatches(LPCSTR pszText);
    // Completes a length-prefixed frame of dwTotal bytes (at most dwSize) of which the first
    // read brought dwCount: reads the missing bytes right behind them. TRUE when the frame
    // is there, also when nothing was missing; a read that fails or falls short is FALSE.
    BOOL ReadRestOfFrame(BYTE* pBuffer, DWORD dwSize, DWORD dwCount, DWORD dwTotal);

public:
    CPort* m_pPort;
    CTerminalLink* m_pLink;

private:
    CProtocol(const CProtocol&) = delete;
    CProtocol& operator=(const CProtocol&) = delete;
};
