// The port for a terminal attached as a USB HID device: messages travel in HID reports,
// written and read with overlapped I/O that the calling thread waits for, one report at a
// time. The ComUsb operations (ComUsb.cpp) find, open and close the device; the port adds
// the transfer loops, and owns the device-change manager that follows the device.
#pragma once

#include <afx.h>
#include <windows.h>

#include <setupapi.h>

#include "ComUsb.h"
#include "Port.h"

// Result codes of the ComUsb operations, kept in ComUsbContext::nLastError.
#define COMUSB_SUCCESS 0
#define COMUSB_TOO_MANY_IDS 28
#define COMUSB_ALREADY_CONNECTED 37
#define COMUSB_INVALID_ARGUMENT 301
#define COMUSB_NOT_INITIALISED 302
#define COMUSB_NO_DEVICE_IDS 303
#define COMUSB_SYSTEM_FAILURE ((DWORD)-1)

class CCOMHIDUSBPort : public CPort {
public:
    CCOMHIDUSBPort(CDebugFile* pDebugFile, DWORD dwBufferSize);
    ~CCOMHIDUSBPort() override;

    void FlushReceiveBuffer() override;
    BOOL OpenPort() override;
    BOOL ClosePort() override;
    void CloseConnection() override;
    BOOL IsOpen() override;
    // The count to send is taken from *pdwLength.
    BOOL Write(const BYTE* pBuffer, DWORD dwLength, DWORD* pdwLength) override;
    // A reply longer than dwBufferSize fails (ERROR_MORE_DATA); *pdwLength then tells how
    // many bytes the reply had, more than were stored.
    BOOL Read(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength) override;
    DWORD GetMaxBufferSize() override;
    void BeginTransaction(LPCSTR pszSemaphoreTrace) override;
    void EndTransaction(LPCSTR pszSemaphoreTrace) override;
    BOOL RemoveAndScanForHardwareChanges() override;
    void SetOwner(DWORD dwOwner) override;
    void ReleaseOwner(DWORD dwOwner) override;

    // Fills the context with its idle values; closes nothing.
    void ResetUSBContext();
    // Time-outs, events and the terminal's accepted IDs, ready for ComUsbConnect.
    DWORD ConfigureUSBContext();

    void ReadImp(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength);
    BOOL RobustOverlappedWriteFile(const BYTE* pBuffer, DWORD dwLength, DWORD* pdwLength);
    BOOL RobustOverlappedReadFile(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength);

    // The HID device access operations (ComUsb.cpp). Each checks the context and leaves its
    // result in nLastError as well as returning it.
    DWORD ComUsbInitialize(ComUsbContext* pCtx, COMMTIMEOUTS* pTimeouts);
    DWORD ComUsbInitializeDebug(ComUsbContext* pCtx, COMMTIMEOUTS* pTimeouts, FILE* pLogFile);
    DWORD ComUsbAddDeviceId(ComUsbContext* pCtx, WORD wVendorId, WORD wProductId);
    DWORD ComUsbConnect(ComUsbContext* pCtx);
    DWORD ComUsbClose(ComUsbContext* pCtx);
    DWORD ComUsbUninitialize(ComUsbContext* pCtx);
    DWORD ComUsbRegisterLogFile(ComUsbContext* pCtx, FILE* pLogFile);
    DWORD ComUsbGetTimeouts(ComUsbContext* pCtx, COMMTIMEOUTS* pTimeouts);
    DWORD ComUsbSetTimeouts(ComUsbContext* pCtx, COMMTIMEOUTS* pTimeouts);
    DWORD ComUsbCancel(ComUsbContext* pCtx);
    DWORD ComUsbGetLastError(ComUsbContext* pCtx);
    DWORD ComUsbGetLastSystemError(ComUsbContext* pCtx);
    void ComUsbDebugPrint(ComUsbContext* pCtx, LPCSTR pszFormat, ...);
    void ComUsbPrintSystemError(ComUsbContext* pCtx, DWORD dwCode);

    BOOL m_bDeviceOpen;
    CString m_csDevicePath;
    DWORD m_dwBufferSize;
    HDEVINFO m_hDevInfo;
    SP_DEVINFO_DATA m_DevInfoData;
    SP_DEVICE_INTERFACE_DATA m_DevInterfaceData;

private:
    // One wait for a transfer under way; WAIT_OBJECT_0 when it is done.
    DWORD WaitForTransfer(HANDLE hEvent);
    // After CancelIo: waits until the device is done with the transfer's buffers.
    void FinishCancelledTransfer(OVERLAPPED* pOverlapped);
    void LogCommDiagnostics(LPCSTR pszSuccessText, LPCSTR pszErrorText);
    void Log(LPCSTR pszText);
    DWORD ComUsbCheck(ComUsbContext* pCtx);
    DWORD ComUsbResult(ComUsbContext* pCtx, DWORD dwResult);
    DWORD ComUsbSystemFailure(ComUsbContext* pCtx);
    BOOL ComUsbTryDevice(ComUsbContext* pCtx, DWORD dwIndex, HANDLE* phDevice);

    // The last read dropped bytes that did not fit the caller's buffer.
    BOOL m_bReadOverflowed;
};
