// CUSBPort::Read over an IN pipe whose transfers come from the input: a buffer size and the
// retry switches first, then one control byte per transfer (0xFF a time-out, 0xFE a stall,
// otherwise a packet of control % 64 bytes taken from the input). A transfer brings at most
// what the port asked for; the rest of its packet waits for the next one, as at a bulk
// endpoint. The port must never store past the buffer, never report more than it holds, and
// a frame it accepts must be as long as its header says.
#include <fuzzer/FuzzedDataProvider.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <memory>
#include <vector>

#include "USBPort.h"

namespace {

class FuzzedUsbPort : public CUSBPort {
public:
    explicit FuzzedUsbPort(FuzzedDataProvider& input) : CUSBPort(NULL), m_input(input) {}

protected:
    DWORD ReadPipe(BYTE* pBuffer, DWORD* pdwSize, DWORD) override {
        const DWORD dwWanted = *pdwSize;
        *pdwSize = 0;
        if (m_pending.empty()) {
            if (m_input.remaining_bytes() == 0)
                return Fail(USBIO_ERR_TIMEOUT);
            const BYTE byControl = m_input.ConsumeIntegral<BYTE>();
            if (byControl == 0xFF)
                return Fail(USBIO_ERR_TIMEOUT);
            if (byControl == 0xFE)
                return Fail(USBIO_ERR_STALL_PID);
            m_pending = m_input.ConsumeBytes<BYTE>(byControl % 64);
            if (m_pending.empty())
                return 0;
        }
        const DWORD n = dwWanted < m_pending.size() ? dwWanted : (DWORD)m_pending.size();
        memcpy(pBuffer, m_pending.data(), n);
        m_pending.erase(m_pending.begin(), m_pending.begin() + n);
        *pdwSize = n;
        return 0;
    }
    DWORD WritePipe(const BYTE*, DWORD*, DWORD) override { return Fail(USBIO_ERR_TIMEOUT); }

private:
    static DWORD Fail(DWORD dwStatus) {
        SetLastError(dwStatus);
        return dwStatus;
    }

    FuzzedDataProvider& m_input;
    std::vector<BYTE> m_pending;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const DWORD dwBufferSize = input.ConsumeIntegralInRange<DWORD>(0, 1100);
    const BYTE bySwitches = input.ConsumeIntegral<BYTE>();

    FuzzedUsbPort port(input);
    port.m_bFirstRetry = (bySwitches & 1) != 0;
    port.m_bSecondRetry = (bySwitches & 2) != 0;
    // Exactly the size the caller gave, on the heap, so that a store past it is caught.
    std::unique_ptr<BYTE[]> buffer(new BYTE[dwBufferSize > 0 ? dwBufferSize : 1]);
    for (int nFrame = 0; nFrame < 8 && input.remaining_bytes() > 0; ++nFrame) {
        DWORD dwLength = input.ConsumeIntegralInRange<DWORD>(0, 2048);
        const BOOL bOk = port.Read(buffer.get(), dwBufferSize, &dwLength);
        if (dwLength > dwBufferSize)
            abort();
        if (bOk) {
            if (dwLength < 2 || (buffer[1] == 0 && dwLength < 4))
                abort();
            const DWORD dwAnnounced = buffer[1] != 0 ? buffer[1] : (DWORD)buffer[2] + 256u * (DWORD)buffer[3];
            if (dwAnnounced != dwLength)
                abort();
        }
    }
    return 0;
}
