#include "USBPort.h"

#include <string.h>

#include "TerminalUsbIds.h"

namespace {

WORD DescriptorWord(const BYTE* pDescriptor, int nOffset) {
    return (WORD)(pDescriptor[nOffset] | (pDescriptor[nOffset + 1] << 8));
}

// The frame's length once its header is complete: byte 1, or bytes 2 and 3 (low byte first)
// when byte 1 is 0. FALSE while the header is still short.
BOOL FrameLengthFromHeader(const BYTE* pData, DWORD dwCount, DWORD* pdwFrame) {
    if (dwCount < 2)
        return FALSE;
    if (pData[1] != 0) {
        *pdwFrame = pData[1];
        return TRUE;
    }
    if (dwCount < 4)
        return FALSE;
    *pdwFrame = (DWORD)pData[2] + 256u * (DWORD)pData[3];
    return TRUE;
}

}  // namespace

CUSBPort::CUSBPort(CDebugFile* pDebugFile)
    : CPort(pDebugFile), m_hDevList(NULL), m_nDeviceNumber(0), m_InterfaceGuid(USBIO_DEVICE_INTERFACE_GUID) {
    memset(&m_ConfigInfo, 0, sizeof(m_ConfigInfo));
    m_hDeviceClosedEvent = CreateEventA(NULL, TRUE, FALSE, USBPORT_DEVICE_CLOSED_EVENT_NAME);
    m_ReadWriteTimeout = 10000;
    m_ThreadWatcher.SetLogDeviceName("USB_PORT");
}

CUSBPort::~CUSBPort() {
    if (IsOpen())
        ClosePort();
    if (m_hDeviceClosedEvent != NULL)
        CloseHandle(m_hDeviceClosedEvent);
}

void CUSBPort::SetInterfaceGuid(const GUID& guid) {
    CSingleLock lock(&m_CritSec, TRUE);
    m_InterfaceGuid = guid;
}

void CUSBPort::FlushReceiveBuffer() {}

void CUSBPort::CloseConnection() {}

BOOL CUSBPort::IsOpen() { return m_bPortOpen; }

DWORD CUSBPort::GetMaxBufferSize() { return 1024; }

void CUSBPort::BeginTransaction(LPCSTR) {}

void CUSBPort::EndTransaction(LPCSTR) {}

// Leaves m_Device open on the terminal and m_nDeviceNumber at its index when it finds one.
BOOL CUSBPort::FindTerminal() {
    int nDevice = 0;
    if (m_hDevList == NULL) {
        m_dwLastError = GetLastError();
        LogMessage("CreateDeviceList failed. No devices with this interface available");
    } else {
        for (; nDevice < USBPORT_MAX_DEVICES; ++nDevice) {
            if (m_Device.Open(nDevice, m_hDevList, &m_InterfaceGuid) != 0)
                break;
            BYTE descriptor[USBIO_DEVICE_DESCRIPTOR_SIZE];
            memset(descriptor, 0, sizeof(descriptor));
            if (m_Device.GetDeviceDescriptor(descriptor) == 0 &&
                IsTerminalUsbId(DescriptorWord(descriptor, USBIO_DEVICE_DESCRIPTOR_VENDOR_ID_OFFSET),
                                DescriptorWord(descriptor, USBIO_DEVICE_DESCRIPTOR_PRODUCT_ID_OFFSET))) {
                m_nDeviceNumber = nDevice;
                return TRUE;
            }
            m_Device.Close();
        }
    }
    if (nDevice == 0)
        LogMessage("There are no devices with this interface available.");
    else
        LogMessage("There are no devices with the required PID and VID attached to the USBIO driver.");
    return FALSE;
}

BOOL CUSBPort::OpenPort() {
    CSingleLock lock(&m_CritSec, TRUE);
    CUsbDriverDevice::DestroyDeviceList(m_hDevList);
    m_hDevList = NULL;
    ZeroCommTimeouts(&m_CommTimeouts);

    m_hDevList = CUsbDriverDevice::CreateDeviceList(&m_InterfaceGuid);
    BOOL bResult = FALSE;
    if (FindTerminal()) {
        if (!Configure()) {
            LogMessage("Unable to set configuration of USBIO driver.");
        } else {
            bResult = TRUE;
            if (!OpenBulkOut()) {
                LogMessage("Error in opening bulk out pipe.");
                bResult = FALSE;
            }
            if (!OpenBulkIn()) {
                LogMessage("Error in opening bulk in pipe.");
                bResult = FALSE;
            }
        }
    }
    m_bPortOpen = bResult;
    return bResult;
}

BOOL CUSBPort::Configure() {
    USBIO_SET_CONFIGURATION request;
    memset(&request, 0, sizeof(request));
    request.ConfigurationIndex = 0;
    request.NbOfInterfaces = 1;
    request.InterfaceList[0].InterfaceIndex = 0;
    request.InterfaceList[0].AlternateSettingIndex = 0;
    request.InterfaceList[0].MaximumTransferSize = USBPORT_MAX_TRANSFER_SIZE;

    CString csText;
    DWORD dwStatus = m_Device.SetConfiguration(&request);
    if (dwStatus != 0) {
        m_dwLastError = GetLastError();
        csText.Format("Error in USBIO::SetConfiguration(), returned %d", (int)dwStatus);
        LogMessage(csText);
        return FALSE;
    }
    dwStatus = m_Device.GetConfigurationInfo(&m_ConfigInfo);
    if (dwStatus != 0) {
        m_dwLastError = GetLastError();
        csText.Format("Could not store configuration, USBIO::GetConfigurationInfo() returned %d",
                      (int)dwStatus);
        LogMessage(csText);
        return FALSE;
    }
    return TRUE;
}

BOOL CUSBPort::OpenBulkOut() {
    if (m_BulkOut.Bind(m_nDeviceNumber, USBPORT_BULK_OUT_ENDPOINT, m_hDevList, &m_InterfaceGuid) != 0) {
        m_dwLastError = GetLastError();
        return FALSE;
    }
    return TRUE;
}

BOOL CUSBPort::OpenBulkIn() {
    if (m_BulkIn.Bind(m_nDeviceNumber, USBPORT_BULK_IN_ENDPOINT, m_hDevList, &m_InterfaceGuid) != 0) {
        m_dwLastError = GetLastError();
        return FALSE;
    }
    return TRUE;
}

BOOL CUSBPort::ClosePort() {
    CSingleLock lock(&m_CritSec, TRUE);
    CUsbDriverDevice::DestroyDeviceList(m_hDevList);
    m_hDevList = NULL;
    m_Device.Close();
    m_bPortOpen = FALSE;
    return TRUE;
}

BOOL CUSBPort::Write(const BYTE* pBuffer, DWORD, DWORD* pdwLength) {
    if (pBuffer == NULL || pdwLength == NULL)
        return FALSE;
    CSingleLock lock(&m_CritSec, TRUE);
    m_dwLastError = 0;
    const DWORD dwWanted = *pdwLength;
    BOOL bOk = WriteMessage(pBuffer, pdwLength);
    if (!bOk && m_bFirstRetry) {
        *pdwLength = dwWanted;
        bOk = WriteMessage(pBuffer, pdwLength);
    }
    if (!bOk && m_bSecondRetry) {
        *pdwLength = dwWanted;
        bOk = WriteMessage(pBuffer, pdwLength);
    }
    return bOk;
}

BOOL CUSBPort::WriteMessage(const BYTE* pBuffer, DWORD* pdwLength) {
    const DWORD dwWanted = *pdwLength;
    DWORD dwSent = 0;
    DWORD nAttempt = 0;
    do {
        const DWORD dwTimeout = m_ReadWriteTimeout + nAttempt * m_ReadTimeoutExtension;
        DWORD n = dwWanted - dwSent;
        const DWORD dwStatus = WritePipe(pBuffer + dwSent, &n, dwTimeout);
        if (dwStatus == 0) {
            TraceWrite(pBuffer + dwSent, n);
        } else {
            m_dwLastError = GetLastError();
            TraceWrite(pBuffer, 0);
        }
        // Bytes a failed attempt did move are at the device already; sending them again
        // would put them into the stream twice.
        dwSent += n;
        ++nAttempt;
    } while (nAttempt <= m_nRetryCount && dwSent < dwWanted);
    *pdwLength = dwSent;
    return dwSent == dwWanted;
}

DWORD CUSBPort::WritePipe(const BYTE* pBuffer, DWORD* pdwSize, DWORD dwTimeout) {
    return m_BulkOut.WriteSync(pBuffer, pdwSize, dwTimeout);
}

DWORD CUSBPort::ReadPipe(BYTE* pBuffer, DWORD* pdwSize, DWORD dwTimeout) {
    return m_BulkIn.ReadSync(pBuffer, pdwSize, dwTimeout);
}

BOOL CUSBPort::Read(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength) {
    if (cpBuffer == NULL || pdwLength == NULL)
        return FALSE;
    CSingleLock lock(&m_CritSec, TRUE);
    m_dwLastError = 0;
    DWORD n = *pdwLength;
    BOOL bOk = ReadFrame(cpBuffer, dwBufferSize, &n);
    if (!bOk && m_bFirstRetry) {
        n = *pdwLength;
        bOk = ReadFrame(cpBuffer, dwBufferSize, &n);
    }
    if (!bOk && m_bSecondRetry) {
        n = *pdwLength;
        bOk = ReadFrame(cpBuffer, dwBufferSize, &n);
    }
    *pdwLength = n;
    return bOk;
}

BOOL CUSBPort::ReadFrame(BYTE* cpBuffer, DWORD dwBufferSize, DWORD* pdwLength) {
    // One time-out for every read of the frame: a reply trickling in packet by packet
    // gets no more time than one that comes at once.
    const DWORD dwTimeout = m_ReadWriteTimeout + m_ReadTimeoutExtension;
    m_CurrentReadTimeout = dwTimeout;
    DWORD dwChunk = USBPORT_FIRST_READ_SIZE;
    DWORD dwTotal = 0;
    DWORD dwFrame = 0;
    BOOL bHeaderComplete = FALSE;
    *pdwLength = 0;
    for (;;) {
        if (dwTotal >= dwBufferSize) {
            // The frame does not fit: what came stays, nothing goes past the buffer.
            *pdwLength = dwTotal;
            return FALSE;
        }
        DWORD n = dwChunk;
        if (n > dwBufferSize - dwTotal)
            n = dwBufferSize - dwTotal;
        const DWORD dwStatus = ReadPipe(cpBuffer + dwTotal, &n, dwTimeout);
        if (dwStatus != 0) {
            m_dwLastError = GetLastError();
            TraceRead(cpBuffer, 0);
            *pdwLength = dwTotal;
            return FALSE;
        }
        if (n == 0) {
            *pdwLength = dwTotal;
            return FALSE;
        }
        TraceRead(cpBuffer + dwTotal, n);
        dwTotal += n;
        // A header split over two reads is completed by reading on, under the same time-out.
        if (!bHeaderComplete) {
            bHeaderComplete = FrameLengthFromHeader(cpBuffer, dwTotal, &dwFrame);
            // A length shorter than the header that states it is no frame; taking it would
            // hand the caller a reply of a byte or none as a success.
            if (bHeaderComplete && dwFrame < (cpBuffer[1] != 0 ? 2u : 4u)) {
                *pdwLength = dwTotal;
                return FALSE;
            }
        }
        if (bHeaderComplete && dwTotal >= dwFrame) {
            // Bytes past the announced length belong to a following frame and are dropped.
            *pdwLength = dwFrame;
            return TRUE;
        }
        // Until the header is whole, ask for a first read's worth again: the length of a
        // one-byte scrap says nothing about the packets still to come.
        dwChunk = bHeaderComplete ? n : USBPORT_FIRST_READ_SIZE;
    }
}
