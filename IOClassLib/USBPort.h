// The port for a terminal attached as a generic USB device under the USBIO driver: the
// first device of the driver whose IDs are the terminal's, configured with its one
// interface, written on bulk endpoint 0x02 and read on bulk endpoint 0x83, where the reads
// collect one VLI frame. Reads go into the port's own buffer in whole packets of the IN
// endpoint, as a host controller needs them, and the frame is handed on from there.
#pragma once

#include <afx.h>
#include <afxmt.h>

#include "Port.h"
#include "UsbDriverDevice.h"
#include "UsbDriverPipe.h"

#define USBPORT_BULK_OUT_ENDPOINT 0x02
#define USBPORT_BULK_IN_ENDPOINT 0x83
#define USBPORT_MAX_DEVICES 128
#define USBPORT_MAX_TRANSFER_SIZE 4096
#define USBPORT_DEVICE_CLOSED_EVENT_NAME "OPOS.CUSBPort.m_hDeviceClosedEvent"

class CUSBPort : public CPort {
public:
    explicit CUSBPort(CDebugFile* pDebugFile);
    ~CUSBPort() override;

    void FlushReceiveBuffer() override;
    BOOL OpenPort() override;
    // Releases the device list and the configuration handle. The pipes stay bound until the
    // port is destroyed, so a write after ClosePort still reaches the device.
    BOOL ClosePort() override;
    void CloseConnection() override;
    BOOL IsOpen() override;
    BOOL Write(const BYTE* pBuffer, DWORD dwLength, DWORD* pdwLength) override;
    // Receives one frame; the count wanted on entry is not used: the frame's header says
    // how much to collect. A frame longer than dwBufferSize is read to its end all the same,
    // so that the next read starts at a frame, and fails with ERROR_MORE_DATA.
    BOOL Read(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength) override;
    DWORD GetMaxBufferSize() override;
    void BeginTransaction(LPCSTR pszSemaphoreTrace) override;
    void EndTransaction(LPCSTR pszSemaphoreTrace) override;

    // The device interface class of the driver's installation, used for the device list,
    // every open and both binds from the next OpenPort on; USBIO_DEVICE_INTERFACE_GUID
    // until a client that knows another installation sets it.
    void SetInterfaceGuid(const GUID& guid);

    HDEVINFO m_hDevList;
    CUsbDriverDevice m_Device;
    int m_nDeviceNumber;
    USBIO_CONFIGURATION_INFO m_ConfigInfo;
    CUsbDriverPipe m_BulkOut;
    CUsbDriverPipe m_BulkIn;
    HANDLE m_hDeviceClosedEvent;
    CCriticalSection m_CritSec;
    GUID m_InterfaceGuid;

protected:
    BOOL Configure();
    BOOL OpenBulkOut();
    BOOL OpenBulkIn();
    BOOL WriteMessage(const BYTE* pBuffer, DWORD* pdwLength);
    BOOL ReadFrame(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength);
    // One transfer on the OUT or IN pipe, as WriteSync and ReadSync make it; the one place
    // where the frame logic meets the driver, so that a test can script the driver's side.
    // A pipe that an earlier transfer left halted is reset first.
    virtual DWORD WritePipe(const BYTE* pBuffer, DWORD* pdwSize, DWORD dwTimeout);
    virtual DWORD ReadPipe(BYTE* pBuffer, DWORD* pdwSize, DWORD dwTimeout);
    // wMaxPacketSize of the IN endpoint, as the configuration information gives it.
    DWORD InPacketSize() const;

private:
    BOOL FindTerminal();
    DWORD PipeTransfer(CUsbDriverPipe& pipe, BOOL& bHalted, BOOL bRead, BYTE* pBuffer, DWORD* pdwSize,
                       DWORD dwTimeout);

    BYTE m_abyReadBuffer[USBPORT_MAX_TRANSFER_SIZE];
    BOOL m_bBulkOutHalted;
    BOOL m_bBulkInHalted;
};
