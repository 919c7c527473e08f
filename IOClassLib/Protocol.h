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
    // Reads into pBuffer, behind the dwCount bytes already there, until dwNeeded bytes are
    // in: first asking for up to dwFirstAsk bytes in all, then for the missing ones. A byte
    // stream may deliver a frame in any number of pieces; all of them must come within the
    // time-out the port gives the first of these reads (later reads wait only for what is
    // left of it). TRUE once dwNeeded bytes are in; FALSE when a read fails, delivers
    // nothing, or the time is up (*pbReadFailed then tells whether a read failed). dwCount
    // grows by what the reads delivered, which may be more than needed.
    BOOL GatherBytes(BYTE* pBuffer, DWORD dwSize, DWORD& dwCount, DWORD dwNeeded, DWORD dwFirstAsk,
                     BOOL* pbReadFailed = NULL);
    // After the first read of a reply, begun at dwStart (a GetTickCount value): bounds the
    // reads that complete it by the time-out the port gave that first one.
    void BoundLaterReads(DWORD dwStart);
    // What a port's Read or Write moved. A call that failed counts only a count the port
    // lowered itself: one left as it was asked for moved nothing.
    static DWORD CountMoved(BOOL bOk, DWORD dwAsked, DWORD dwReported);

public:
    CPort* m_pPort;
    CTerminalLink* m_pLink;

private:
    CProtocol(const CProtocol&) = delete;
    CProtocol& operator=(const CProtocol&) = delete;
};
