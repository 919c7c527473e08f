// A port that replays a fuzzer's input as what the terminal sent. The bytes come from the
// front of the input; how many each read delivers comes from its back (FuzzedDataProvider
// takes integers from the end), so the fuzzer varies the splits along with the bytes and
// a plain reply frame is already a useful seed: with no boundary bytes left a read
// delivers all it asked for. Writes always succeed. An exhausted input is a time-out.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>
#include <windows.h>

#include <algorithm>
#include <cstring>

#include "Port.h"

class ReplayPort : public CPort {
public:
    // shortReadsSucceed: a read that brings less than asked is TRUE (a socket), else FALSE
    // (a serial line). wholeChunks: a read may bring more than asked, up to the buffer's
    // size, as a port that receives whole reports does.
    ReplayPort(CDebugFile* pDebugFile, FuzzedDataProvider& input, bool shortReadsSucceed, bool wholeChunks)
        : CPort(pDebugFile),
          m_input(input),
          m_bShortReadsSucceed(shortReadsSucceed),
          m_bWholeChunks(wholeChunks) {}

    bool Exhausted() const { return m_input.remaining_bytes() == 0; }

    void FlushReceiveBuffer() override {}
    BOOL OpenPort() override { return m_bOpen = TRUE; }
    BOOL ClosePort() override {
        m_bOpen = FALSE;
        return TRUE;
    }
    void CloseConnection() override { m_bOpen = FALSE; }
    BOOL IsOpen() override { return m_bOpen; }
    BOOL Write(const BYTE*, DWORD, DWORD*) override { return TRUE; }
    BOOL Read(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength) override {
        const DWORD dwWanted = *pdwLength;
        *pdwLength = 0;
        if (m_input.remaining_bytes() == 0)
            return dwWanted == 0;
        const DWORD dwLimit = m_bWholeChunks ? dwBufferSize : std::min(dwWanted, dwBufferSize);
        const DWORD dwCut = m_input.ConsumeIntegral<BYTE>();
        const DWORD dwCount = dwCut == 0 ? std::min(dwWanted, dwBufferSize) : std::min(dwCut, dwLimit);
        const std::vector<BYTE> bytes = m_input.ConsumeBytes<BYTE>(dwCount);
        if (!bytes.empty())
            memcpy(cpBuffer, bytes.data(), bytes.size());
        *pdwLength = (DWORD)bytes.size();
        return *pdwLength >= dwWanted || (m_bShortReadsSucceed && *pdwLength > 0);
    }
    DWORD GetMaxBufferSize() override { return 1024; }
    void BeginTransaction(LPCSTR) override {}
    void EndTransaction(LPCSTR) override {}

private:
    FuzzedDataProvider& m_input;
    bool m_bShortReadsSucceed;
    bool m_bWholeChunks;
    BOOL m_bOpen = TRUE;
};
