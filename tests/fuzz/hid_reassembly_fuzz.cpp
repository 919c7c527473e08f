// The HID reply assembly against arbitrary reports: whatever the counts and length fields
// say, nothing is stored past the caller's buffer (an exact-size heap block, so ASan sees
// the first byte beyond), and a reply that fits is never reported as spoilt.
//
// Input: framing kind, bytes wanted, buffer size (two bytes, low first), report length,
// then the reports' bytes, one report length after another.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "HidReports.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5)
        return 0;
    const int nProtocol = data[0] % 3;
    const DWORD dwWanted = data[1];
    const DWORD dwBufferSize = (DWORD)data[2] | ((DWORD)(data[3] & 0x0F) << 8);
    const DWORD dwReportLength =
        HID_MIN_REPORT_LENGTH + data[4] % (HID_MAX_REPORT_LENGTH - HID_MIN_REPORT_LENGTH + 1);
    data += 5;
    size -= 5;

    std::vector<BYTE> buffer(dwBufferSize);
    HidReplyAssembler reply(nProtocol, dwWanted, buffer.data(), dwBufferSize);
    std::vector<BYTE> report(HID_INPUT_BUFFER_SIZE);
    DWORD dwStored = 0;
    while (!reply.IsComplete() && size > 0) {
        const size_t n = size < dwReportLength ? size : dwReportLength;
        memset(report.data(), 0, report.size());
        memcpy(report.data(), data, n);
        data += n;
        size -= n;
        const DWORD dwBefore = reply.Received();
        reply.TakeReport(report.data(), (DWORD)n);
        if (reply.Received() < dwBefore)
            abort();  // the count wrapped
        dwStored = reply.Received() < dwBufferSize ? reply.Received() : dwBufferSize;
    }
    if (!reply.Overflowed() && reply.Received() > dwBufferSize && reply.Received() <= reply.Expected())
        abort();  // bytes were dropped without saying so
    (void)dwStored;
    return 0;
}
