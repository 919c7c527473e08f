// The terminal's replies through each framing's receive path, with the read boundaries
// taken from the input too (see ReplayPort.h), and the application's reply decoding
// (ReadTerminalReply, a fetch) and the 0x81 error report on top. The input's last byte
// picks the framing, the one before it how the port behaves.
#include <stdint.h>

#include <memory>

#include "Connection.h"
#include "DebugFile.h"
#include "ReplayPort.h"
#include "TerminalCommands.h"
#include "TerminalLink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzedDataProvider input(data, size);
    const int nProtocol = input.ConsumeIntegralInRange<int>(0, 2);
    const BYTE byMode = input.ConsumeIntegral<BYTE>();

    CDebugFile log("");
    ReplayPort* pPort = new ReplayPort(&log, input, (byMode & 1) != 0, (byMode & 2) != 0);
    CTerminalLink link(pPort, nProtocol);
    CTerminalLink* pSaved = g_pTerminalLink;
    g_pTerminalLink = &link;

    // On the heap, sized as callers size it, so that a copy past its end is caught.
    std::unique_ptr<BYTE[]> reply(new BYTE[TERMINAL_REPLY_BUFFER_SIZE]);
    for (int nStep = 0; nStep < 16 && !pPort->Exhausted(); ++nStep) {
        BYTE byLength = 0;
        switch (input.ConsumeIntegralInRange<int>(0, 3)) {
        case 0: ReadTerminalReply(reply.get(), &byLength); break;
        case 1: FetchTerminalReply(reply.get(), &byLength); break;
        case 2: log.ReportLastPlatformError(&link, "COM1"); break;
        default: {
            CString csData, csTrace;
            link.ReceivePacket(csData, csTrace);
            break;
        }
        }
    }
    g_pTerminalLink = pSaved;
    return 0;
}
