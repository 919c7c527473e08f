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

// A time-out of T + n x E that would pass 32 bits is no time-out at all: a client that asked
// for INFINITE must not get a few seconds.
DWORD ExtendedTimeout(DWORD dwTimeout, DWORD nExtensions, DWORD dwExtension) {
    const ULONGLONG ullSum = (ULONGLONG)dwTimeout + (ULONGLONG)nExtensions * dwExtension;
    return ullSum >= INFINITE ? INFINITE : (DWORD)ullSum;
}

// The host controller's errors and a stall leave the endpoint halted: the driver refuses
// every transfer on the pipe until it is reset.
BOOL HaltsPipe(DWORD dwStatus) {
    return (dwStatus >= USBIO_ERR_CRC && dwStatus <= USBIO_ERR_FIFO) || dwStatus == USBIO_ERR_ENDPOINT_HALTED;
}

// Any full- or high-speed bulk endpoint's packets fit a whole number of times in this.
const DWORD kAnyPacketMultiple = 512;
const DWORD kHeaderBytes = 4;

}  // namespace

CUSBPort::CUSBPort(CDebugFile* pDebugFile)
    : CPort(pDebugFile),
      m_hDevList(NULL),
      m_nDeviceNumber(0),
      m_InterfaceGuid(USBIO_DEVICE_INTERFACE_GUID),
      m_bBulkOutHalted(FALSE),
      m_bBulkInHalted(FALSE) {
    memset(&m_ConfigInfo, 0, sizeof(m_ConfigInfo));
    memset(m_abyReadBuffer, 0, sizeof(m_abyReadBuffer));
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
    // A failed open can leave the handle on the terminal at its old index; the search must
    // start from a closed handle, or it takes that device for the first one of the list.
    m_Device.Close();

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
        const DWORD dwTimeout = ExtendedTimeout(m_ReadWriteTimeout, nAttempt, m_ReadTimeoutExtension);
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
    return PipeTransfer(m_BulkOut, m_bBulkOutHalted, FALSE, (BYTE*)pBuffer, pdwSize, dwTimeout);
}

DWORD CUSBPort::ReadPipe(BYTE* pBuffer, DWORD* pdwSize, DWORD dwTimeout) {
    return PipeTransfer(m_BulkIn, m_bBulkInHalted, TRUE, pBuffer, pdwSize, dwTimeout);
}

DWORD CUSBPort::PipeTransfer(CUsbDriverPipe& pipe, BOOL& bHalted, BOOL bRead, BYTE* pBuffer, DWORD* pdwSize,
                             DWORD dwTimeout) {
    // A reset that fails leaves the transfer to fail as before; the next one tries again.
    if (bHalted && pipe.ResetPipe() == 0)
        bHalted = FALSE;
    const DWORD dwStatus =
        bRead ? pipe.ReadSync(pBuffer, pdwSize, dwTimeout) : pipe.WriteSync(pBuffer, pdwSize, dwTimeout);
    if (HaltsPipe(dwStatus))
        bHalted = TRUE;
    return dwStatus;
}

DWORD CUSBPort::InPacketSize() const {
    for (DWORD i = 0; i < m_ConfigInfo.NbOfPipes && i < USBIO_MAX_PIPES; ++i) {
        const USBIO_PIPE_CONFIGURATION_INFO& pipe = m_ConfigInfo.PipeInfo[i];
        if (pipe.EndpointAddress == USBPORT_BULK_IN_ENDPOINT && pipe.MaximumPacketSize != 0)
            return pipe.MaximumPacketSize < sizeof(m_abyReadBuffer) ? pipe.MaximumPacketSize
                                                                    : sizeof(m_abyReadBuffer);
    }
    // A driver that does not say.
    return kAnyPacketMultiple;
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
    const DWORD dwTimeout = ExtendedTimeout(m_ReadWriteTimeout, 1, m_ReadTimeoutExtension);
    m_CurrentReadTimeout = dwTimeout;
    // A packet bigger than the room left in a transfer overruns it and is lost with the
    // transfer, so every read asks for whole packets, into this port's buffer.
    const DWORD dwPacket = InPacketSize();
    const DWORD dwMostAsked = sizeof(m_abyReadBuffer) / dwPacket * dwPacket;
    BYTE abyHeader[kHeaderBytes];
    DWORD dwTotal = 0;  // bytes of the frame so far, stored or not
    DWORD dwFrame = 0;
    BOOL bLengthKnown = FALSE;
    BOOL bLastEmpty = FALSE;
    *pdwLength = 0;
    for (;;) {
        // Until the header is in, one packet; then what the frame still lacks.
        DWORD n = dwPacket;
        if (bLengthKnown) {
            n = (dwFrame - dwTotal + dwPacket - 1) / dwPacket * dwPacket;
            if (n > dwMostAsked)
                n = dwMostAsked;
        }
        const DWORD dwStatus = ReadPipe(m_abyReadBuffer, &n, dwTimeout);
        if (dwStatus != 0) {
            m_dwLastError = GetLastError();
            TraceRead(m_abyReadBuffer, 0);
            return FALSE;
        }
        if (n == 0) {
            // A device ends a reply of whole packets with an empty one, which reaches the
            // next read when the last whole packet filled the read before it. Two in a row
            // come from a device with nothing to send.
            if (bLastEmpty)
                return FALSE;
            bLastEmpty = TRUE;
            continue;
        }
        bLastEmpty = FALSE;
        // A driver that claims more than the buffer holds is not believed.
        if (n > sizeof(m_abyReadBuffer))
            n = sizeof(m_abyReadBuffer);
        TraceRead(m_abyReadBuffer, n);
        for (DWORD i = 0; i < n && dwTotal + i < kHeaderBytes; ++i)
            abyHeader[dwTotal + i] = m_abyReadBuffer[i];
        DWORD dwTake = n;
        BOOL bRefused = FALSE;
        if (!bLengthKnown) {
            // A header split over two reads is completed by reading on, under the same time-out.
            const DWORD dwHeaderIn = dwTotal + n < kHeaderBytes ? dwTotal + n : kHeaderBytes;
            bLengthKnown = FrameLengthFromHeader(abyHeader, dwHeaderIn, &dwFrame);
            // A length shorter than the header that states it is no frame; taking it would
            // hand the caller a reply of a byte or none as a success.
            bRefused = bLengthKnown && dwFrame < (abyHeader[1] != 0 ? 2u : kHeaderBytes);
        }
        // Bytes past the announced length belong to a following frame and are dropped.
        if (bLengthKnown && !bRefused && dwTake > dwFrame - dwTotal)
            dwTake = dwFrame - dwTotal;
        // Nothing goes past the caller's buffer; a frame that does not fit is still read to
        // its end, so that the next read starts at a frame.
        if (dwTotal < dwBufferSize) {
            const DWORD dwStore = dwTake < dwBufferSize - dwTotal ? dwTake : dwBufferSize - dwTotal;
            memcpy(cpBuffer + dwTotal, m_abyReadBuffer, dwStore);
            *pdwLength = dwTotal + dwStore;
        }
        dwTotal += dwTake;
        if (bRefused)
            return FALSE;
        if (bLengthKnown && dwTotal >= dwFrame) {
            if (dwFrame > dwBufferSize) {
                m_dwLastError = ERROR_MORE_DATA;
                return FALSE;
            }
            return TRUE;
        }
    }
}
