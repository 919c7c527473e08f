// The port for a terminal on a COM port: synchronous I/O, the line set from the
// constructor's settings, and reads that complete the VLI frame whose header arrived.
#pragma once

#include <afx.h>
#include <afxmt.h>
#include <windows.h>

#include "Port.h"

class CSerialPort : public CPort {
public:
    CSerialPort(CDebugFile* pDebugFile, const CString& strPort, DWORD dwBaudrate, BYTE nParity,
                BYTE nByteSize, BYTE nStopBits);
    explicit CSerialPort(CDebugFile* pDebugFile);
    ~CSerialPort() override;

    void FlushReceiveBuffer() override;
    BOOL OpenPort() override;
    BOOL ClosePort() override;
    void CloseConnection() override;
    BOOL IsDataAvailable() override;
    BOOL IsOpen() override;
    BOOL Write(const BYTE* pBuffer, DWORD dwLength, DWORD* pdwLength) override;
    BOOL Read(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength) override;
    DWORD GetMaxBufferSize() override;
    void BeginTransaction(LPCSTR pszSemaphoreTrace) override;
    void EndTransaction(LPCSTR pszSemaphoreTrace) override;
    void SetOwner(DWORD dwOwner) override;
    void ReleaseOwner(DWORD dwOwner) override;

    HANDLE m_hPort;
    CString m_strPort;
    DWORD m_dwBaudrate;
    BYTE m_nParity;
    BYTE m_nByteSize;
    BYTE m_nStopBits;
    CCriticalSection m_CritSec;

protected:
    BOOL WriteImp(const BYTE* pBuffer, DWORD* pdwLength);
    BOOL ReadImp(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength);
    BOOL RobustNonOverlappedReadFile(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength);

private:
    void InitPort(const CString& strPort, DWORD dwBaudrate, BYTE nParity, BYTE nByteSize, BYTE nStopBits);
    BOOL ApplyTimeouts(DWORD dwTimeout);
    BOOL ReadFailure(DWORD dwTotal, DWORD* pdwLength);
};
