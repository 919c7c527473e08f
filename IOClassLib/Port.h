// The abstract transport every port of the library derives from, and the services the
// ports share: the machine-wide device lock, the process-event lock, cached serial
// time-outs, the semaphore trace text and a hex dump for diagnostics.
#pragma once

#include <afx.h>
#include <afxmt.h>
#include <windows.h>

#include "ComUsb.h"
#include "DebugFile.h"
#include "ThreadWatcher.h"

class CConnectionManager;

// Build-time switch of the port trace points (device lock, I/O trace, the serial port's
// diagnostics). Off as the library ships; build with -DIOCLASSLIB_PORT_TRACE=1 to have them
// write their texts to standard output. The trace code is compiled either way, so it
// cannot rot while switched off.
#ifndef IOCLASSLIB_PORT_TRACE
#define IOCLASSLIB_PORT_TRACE 0
#endif

// Name of the named mutex behind LockDevice, shared by every port in every process.
#define IOCLASSLIB_DEVICE_MUTEX_NAME "Qarvela_IOClassLib_Mutex_27"

#define PORT_SEMAPHORE_TRACE_SIZE 2048

class CPort {
public:
    explicit CPort(CDebugFile* pDebugFile);

    // The virtual interface; the order of the slots is part of the contract.
    virtual ~CPort();
    virtual void FlushReceiveBuffer() = 0;
    virtual BOOL OpenPort() = 0;
    virtual BOOL ClosePort() = 0;
    // Releases the operating-system handle only.
    virtual void CloseConnection() = 0;
    virtual BOOL IsDataAvailableSupported();
    virtual BOOL IsDataAvailable();
    virtual BOOL IsOpen() = 0;
    // *pdwLength: bytes to send on entry, bytes sent on return.
    virtual BOOL Write(const BYTE* pBuffer, DWORD dwLength, DWORD* pdwLength) = 0;
    // *pdwLength: bytes wanted on entry, bytes received on return. Never stores more than
    // dwBufferSize bytes into cpBuffer.
    virtual BOOL Read(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength) = 0;
    virtual DWORD GetMaxBufferSize() = 0;
    virtual void BeginTransaction(LPCSTR pszSemaphoreTrace) = 0;
    virtual void EndTransaction(LPCSTR pszSemaphoreTrace) = 0;
    virtual BOOL RemoveAndScanForHardwareChanges();
    virtual void SetOwner(DWORD dwOwner);
    virtual void ReleaseOwner(DWORD dwOwner);
    virtual void OnPortEvent(DWORD dwEvent, DWORD dwParam1, DWORD dwParam2);

    // Machine-wide device lock. TRUE means the operation ran, not that the lock was taken:
    // m_bSemPortLock tells that. The caller text is accepted for the callers' benefit only.
    BOOL LockDevice(LPCSTR pszCaller, DWORD dwTimeout);
    BOOL LockDevice(LPCSTR pszCaller, int nLength, DWORD dwTimeout);
    BOOL UnLockDevice(LPCSTR pszCaller);
    BOOL UnLockDevice(LPCSTR pszCaller, int nLength);

    // Bracket the handling of one device event (device-change manager).
    BOOL PortProcessEventLock();
    BOOL PortProcessEventUnlock();

    // Applies time-outs to a communications handle unless they equal the ones applied last.
    BOOL OPOSSetCommTimeouts(HANDLE hPort, COMMTIMEOUTS* pTimeouts);

    CString FormatSemaphoreTrace(LPCSTR pszFunction, LPCSTR pszFile, int nLine, BOOL* pbWithTime);
    void LogMessage(CString strText);

    // 0 raw, 2 STX/ETX as given; anything else is VLI (1).
    void SetProtocolType(int nType);
    int GetProtocolType() const { return m_nProtocolType; }

    BOOL HasOwner() const { return m_dwOwner != 0; }
    DWORD GetOwner() const { return m_dwOwner; }

    DWORD GetReadWriteTimeout() const { return m_ReadWriteTimeout; }
    void SetReadWriteTimeout(DWORD dwValue) { m_ReadWriteTimeout = dwValue; }
    DWORD GetReadTimeoutModifier() const { return m_ReadTimeoutModifier; }
    void SetReadTimeoutModifier(DWORD dwValue) { m_ReadTimeoutModifier = dwValue; }
    DWORD GetCurrentReadTimeout() const { return m_CurrentReadTimeout; }
    void SetCurrentReadTimeout(DWORD dwValue) { m_CurrentReadTimeout = dwValue; }
    DWORD GetReadTimeoutExtension() const { return m_ReadTimeoutExtension; }
    // A framing that gathers one reply over several reads bounds them together: it sets a
    // deadline (a GetTickCount value) after the first of them, and a port whose Read waits
    // on its own waits only for what is left of it (LimitReadWait). Cleared by the framing
    // once the reply is in or given up.
    void SetReadDeadline(DWORD dwTick) {
        m_dwReadDeadline = dwTick;
        m_bReadDeadline = TRUE;
    }
    void ClearReadDeadline() { m_bReadDeadline = FALSE; }
    // dwTimeoutMs, or what is left before the read deadline when that is less (0 once it
    // has passed).
    DWORD LimitReadWait(DWORD dwTimeoutMs) const {
        if (!m_bReadDeadline)
            return dwTimeoutMs;
        const LONG nLeft = (LONG)(m_dwReadDeadline - ::GetTickCount());
        if (nLeft <= 0)
            return 0;
        return (DWORD)nLeft < dwTimeoutMs ? (DWORD)nLeft : dwTimeoutMs;
    }
    void SetReadTimeoutExtension(DWORD dwValue) { m_ReadTimeoutExtension = dwValue; }
    // Not GetLastError: inside a port that name must keep meaning the platform's.
    DWORD GetLastPortError() const { return m_dwLastError; }
    void SetLastPortError(DWORD dwValue) { m_dwLastError = dwValue; }
    BOOL GetFirstRetry() const { return m_bFirstRetry; }
    void SetFirstRetry(BOOL bValue) { m_bFirstRetry = bValue; }
    BOOL GetSecondRetry() const { return m_bSecondRetry; }
    void SetSecondRetry(BOOL bValue) { m_bSecondRetry = bValue; }
    DWORD GetRetryCount() const { return m_nRetryCount; }
    void SetRetryCount(DWORD dwValue) { m_nRetryCount = dwValue; }
    CString GetDeviceName() const { return m_csDeviceName; }
    void SetDeviceName(LPCSTR pszName) { m_csDeviceName = pszName; }
    LONG GetLockCount() const { return m_nLockCount; }
    BOOL GetSemPortLock() const { return m_bSemPortLock; }
    CConnectionManager* GetConnectionManager() const { return m_pConnectionManager; }
    BOOL IsDisconnected() const { return m_bDisconnected; }
    void SetDisconnected(BOOL bValue) { m_bDisconnected = bValue != 0; }
    BOOL IsRescanRequested() const { return m_bRescanRequested; }
    void SetRescanRequested(BOOL bValue) { m_bRescanRequested = bValue != 0; }
    BOOL IsDevicePresent() const { return m_bDevicePresent; }
    void SetDevicePresent(BOOL bValue) { m_bDevicePresent = bValue != 0; }

    static void CopyCommTimeouts(COMMTIMEOUTS* pDest, const COMMTIMEOUTS* pSource);
    static BOOL EqualCommTimeouts(const COMMTIMEOUTS* pFirst, const COMMTIMEOUTS* pSecond);
    static void ZeroCommTimeouts(COMMTIMEOUTS* pTimeouts);

    // Called by every port after each transfer; they write only with the trace switched on.
    void TraceWrite(const BYTE* pBuffer, DWORD dwLength);
    void TraceRead(BYTE* pBuffer, DWORD dwLength);

    // Appends 16 bytes per line: "\r\n", the hex fields, eight blanks, the printable text.
    static void FormatHexDump(const BYTE* pData, DWORD dwLength, CString& strOut);

    // Writes one switched-off trace point (printf format); does nothing unless the trace
    // is switched on at build time.
    static void PortTrace(LPCSTR pszFormat, ...);

    // The members are open to the ports, the protocols and the device-change manager,
    // which all work on them directly.
    CThreadWatcher m_ThreadWatcher;
    CDebugFile* m_pDebugFile;
    WORD m_wInputPacketSize;
    WORD m_wOutputPacketSize;
    BOOL m_bPortOpen;
    HDEVNOTIFY m_hDevNotifyInterface;
    HDEVNOTIFY m_hDevNotifyHandle;
    ComUsbContext m_USBCtx;
    GUID m_HidGuid;
    DWORD m_ReadWriteTimeout;
    DWORD m_ReadTimeoutModifier;
    DWORD m_CurrentReadTimeout;
    DWORD m_ReadTimeoutExtension;
    BOOL m_bReadDeadline = FALSE;
    DWORD m_dwReadDeadline = 0;
    DWORD m_dwLastError;
    DWORD m_nRetryCount;
    BOOL m_bFirstRetry;
    BOOL m_bSecondRetry;
    BOOL m_bDataAvailableSupported;
    DWORD m_dwOwner;
    CSemaphore m_TraceSemaphore;
    CMutex* m_pDeviceMutex;
    CSemaphore m_ProcessEventSemaphore;
    LONG m_nLockCount;
    BOOL m_bSemPortLock;
    BOOL m_bDisconnected;
    BOOL m_bRescanRequested;
    BOOL m_bDevicePresent;
    COMMTIMEOUTS m_CommTimeouts;
    CConnectionManager* m_pConnectionManager;
    CString m_csDeviceName;
    int m_nProtocolType;
    char m_szSemaphoreTrace[PORT_SEMAPHORE_TRACE_SIZE];

private:
    CPort(const CPort&) = delete;
    CPort& operator=(const CPort&) = delete;
};
