// Winsock's header has to come before anything that brings in <windows.h>.
#include <winsock2.h>

#include "KeySlotReport.h"

#include <stdio.h>

#include <usbio_api.h>

#include "KeyProbe.h"

namespace {

struct ConnectionLoss {
    DWORD dwError;
    const char* pszWords;
};

// Only codes that say what became of the connection: a port may leave others behind after a
// plain time-out, and those would send a reader after the wrong cause.
const ConnectionLoss kConnectionLosses[] = {
    {ERROR_DEVICE_NOT_CONNECTED, "the device was unplugged"},
    {USBIO_ERR_DEVICE_NOT_PRESENT, "the device was unplugged"},
    {USBIO_ERR_DEV_NOT_RESPONDING, "the device does not respond on the bus"},
    {USBIO_ERR_STALL_PID, "the device stalled a transfer"},
    {USBIO_ERR_ENDPOINT_HALTED, "an endpoint of the device is halted"},
    {ERROR_DEV_NOT_EXIST, "the device is gone"},
    {ERROR_BROKEN_PIPE, "the connection was closed"},
    {WSAECONNRESET, "the connection was reset"},
    {WSAECONNABORTED, "the connection was aborted"},
    {WSAESHUTDOWN, "the connection was closed"},
    {WSAENOTCONN, "the connection was closed"},
    {WSAENETRESET, "the connection was reset"},
};

std::string WithCode(const char* pszWords, DWORD dwError) {
    char szCode[32];
    // USBIO statuses read best in hex, as the driver documents them.
    snprintf(szCode, sizeof(szCode), dwError >= 0xE0000000u ? " (error 0x%lX)" : " (error %lu)",
             (unsigned long)dwError);
    return std::string(pszWords) + szCode;
}

// "M/S 3-5, DUKPT 0-9": the slots of the reports, runs of numbers joined.
std::string SlotList(const std::vector<const KeySlotReport*>& reports) {
    std::string text;
    for (size_t i = 0; i < reports.size();) {
        const KeySlotReport& first = *reports[i];
        size_t j = i + 1;
        while (j < reports.size() && reports[j]->nKind == first.nKind &&
               reports[j]->nSlot == reports[j - 1]->nSlot + 1)
            ++j;
        const bool bNewKind = i == 0 || reports[i - 1]->nKind != first.nKind;
        if (!text.empty())
            text += ", ";
        if (bNewKind)
            text += first.nKind == KEYPROBE_KIND_MASTER_SESSION ? "M/S " : "DUKPT ";
        text += std::to_string(first.nSlot);
        if (j - i > 1)
            text += "-" + std::to_string(reports[j - 1]->nSlot);
        i = j;
    }
    return text;
}

// What a port's error says became of the connection, or "" for a code that tells nothing of
// that kind.
std::string DescribeConnectionLoss(DWORD dwPortError) {
    for (const ConnectionLoss& loss : kConnectionLosses)
        if (loss.dwError == dwPortError)
            return WithCode(loss.pszWords, dwPortError);
    return "";
}

}  // namespace

std::string DescribeUnansweredSlots(const std::vector<KeySlotReport>& reports) {
    std::vector<const KeySlotReport*> unanswered;
    std::string cause;
    for (const KeySlotReport& report : reports) {
        if (report.Answered())
            continue;
        unanswered.push_back(&report);
        if (cause.empty())
            cause = DescribeConnectionLoss(report.dwPortError);
    }
    if (unanswered.empty())
        return "";
    std::string line = "The terminal did not answer for " + std::to_string(unanswered.size()) + " of the " +
                       std::to_string(reports.size()) + " key slots (" + SlotList(unanswered) +
                       "): their key states are unknown";
    if (!cause.empty())
        line += "; " + cause;
    return line + ".";
}

std::string DescribeNothingWritten(DWORD dwPortError) {
    std::string cause = DescribeConnectionLoss(dwPortError);
    if (cause.empty() && dwPortError != ERROR_SUCCESS)
        cause = WithCode("every write failed", dwPortError);
    else if (cause.empty())
        cause = "every write failed";
    return "The port opened, but no command reached the terminal: " + cause +
           ". The key states are not known.";
}
