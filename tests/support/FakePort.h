// A scriptable in-memory port for unit tests.
//
// Reads are served from queued chunks: one Read takes bytes from the front chunk only,
// at most the count wanted (or the whole chunk when deliverWholeChunks is set, as a port
// that completes a frame may), so a reply split into chunks arrives split across reads.
// An empty queue is a time-out: FALSE and a count of 0. Read returns TRUE when it
// delivered at least the count wanted, as the serial port does (or, with
// shortReadsSucceed, whenever it delivered something).
//
// Bytes queued with QueueRead have already arrived, so FlushReceiveBuffer discards them.
// Responses queued with QueueResponse arrive after a write: each Write moves the next
// response into the read queue, so a reply survives the flush that precedes its command.
//
// Every call is recorded in events ("Open", "Write 05 04 16 17", "Read 5", "Flush",
// "Begin", "End", ...), every Write's bytes in writes.
#pragma once

#include <windows.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "HexBytes.h"
#include "Port.h"

class FakePort : public CPort {
public:
    using Bytes = std::vector<BYTE>;

    explicit FakePort(CDebugFile* pDebugFile = nullptr, int* pDestroyCount = nullptr)
        : CPort(pDebugFile), m_pDestroyCount(pDestroyCount) {}
    ~FakePort() override {
        if (m_pDestroyCount != nullptr)
            ++*m_pDestroyCount;
    }

    // --- script -------------------------------------------------------------------
    void QueueRead(const Bytes& chunk) { readQueue.push_back(chunk); }
    void QueueResponse(const std::vector<Bytes>& chunks) { responses.push_back(chunks); }
    void QueueResponse(const Bytes& oneChunk) { responses.push_back({oneChunk}); }

    bool open = true;  // state reported by IsOpen; OpenPort sets it
    bool deliverWholeChunks = false;
    bool shortReadsSucceed = false;  // a read that delivers less than wanted still says TRUE
    int failReads = 0;               // the next n reads fail with a count of 0
    // Once the read queue is empty, this many reads fail leaving the count as it was asked
    // for, as a port may that reports nothing about a failure.
    int untouchedFailReads = 0;
    bool failWritesUntouched = false;  // writes fail, leaving the count as it was
    DWORD writeLimit = 0xFFFFFFFF;     // a write sends at most this many bytes

    // --- record -------------------------------------------------------------------
    std::deque<Bytes> readQueue;
    std::deque<std::vector<Bytes>> responses;
    std::vector<Bytes> writes;
    std::vector<std::string> events;
    std::vector<std::string> transactionTraces;
    int openCalls = 0;
    int closeCalls = 0;

    size_t CountEvents(const std::string& prefix) const {
        size_t n = 0;
        for (const std::string& e : events)
            n += e.compare(0, prefix.size(), prefix) == 0 ? 1 : 0;
        return n;
    }

    // --- CPort --------------------------------------------------------------------
    void FlushReceiveBuffer() override {
        events.push_back("Flush");
        readQueue.clear();
    }
    BOOL OpenPort() override {
        ++openCalls;
        events.push_back("Open");
        open = true;
        return TRUE;
    }
    BOOL ClosePort() override {
        ++closeCalls;
        events.push_back("Close");
        open = false;
        return TRUE;
    }
    void CloseConnection() override { open = false; }
    BOOL IsOpen() override { return open ? TRUE : FALSE; }
    BOOL Write(const BYTE* pBuffer, DWORD dwLength, DWORD* pdwLength) override {
        const DWORD n = dwLength < writeLimit ? dwLength : writeLimit;
        Bytes bytes(pBuffer, pBuffer + n);
        events.push_back("Write " + testsupport::bytesToHex(bytes));
        writes.push_back(bytes);
        if (failWritesUntouched)
            return FALSE;
        *pdwLength = n;
        if (!responses.empty()) {
            for (const Bytes& chunk : responses.front())
                readQueue.push_back(chunk);
            responses.pop_front();
        }
        return TRUE;
    }
    BOOL Read(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength) override {
        const DWORD dwWanted = *pdwLength;
        events.push_back("Read " + std::to_string(dwWanted));
        if (failReads > 0) {
            --failReads;
            *pdwLength = 0;
            return FALSE;
        }
        if (readQueue.empty() && untouchedFailReads > 0) {
            --untouchedFailReads;
            return FALSE;
        }
        if (readQueue.empty()) {
            *pdwLength = 0;
            return dwWanted == 0;
        }
        Bytes& chunk = readQueue.front();
        DWORD n = deliverWholeChunks ? (DWORD)chunk.size()
                                     : (dwWanted < chunk.size() ? dwWanted : (DWORD)chunk.size());
        if (n > dwBufferSize)
            n = dwBufferSize;
        std::copy(chunk.begin(), chunk.begin() + n, cpBuffer);
        chunk.erase(chunk.begin(), chunk.begin() + n);
        if (chunk.empty())
            readQueue.pop_front();
        *pdwLength = n;
        return n >= dwWanted || shortReadsSucceed;
    }
    DWORD GetMaxBufferSize() override { return 1024; }
    void BeginTransaction(LPCSTR pszTrace) override {
        events.push_back("Begin");
        transactionTraces.push_back(pszTrace != nullptr ? pszTrace : "");
    }
    void EndTransaction(LPCSTR pszTrace) override {
        events.push_back("End");
        transactionTraces.push_back(pszTrace != nullptr ? pszTrace : "");
    }

private:
    int* m_pDestroyCount;
};

// A frame with its XOR checksum appended: well-formed around arbitrary bodies, for
// frames too long to write out by hand.
inline FakePort::Bytes WithChecksum(FakePort::Bytes frame) {
    BYTE x = 0;
    for (BYTE b : frame)
        x ^= b;
    frame.push_back(x);
    return frame;
}
