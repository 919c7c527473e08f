// What the key check learnt about each slot beyond the result file's "present" or "not":
// the terminal's statuses, its own error texts and the time taken, handed to an observer as
// each slot completes; and the words for a run in which the terminal stopped answering.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

struct KeySlotReport {
    int nKind;  // KEYPROBE_KIND_MASTER_SESSION or KEYPROBE_KIND_DUKPT
    int nSlot;
    bool bPresent;  // as the result file says
    bool bRequestAnswered;
    BYTE byRequestStatus;  // when answered
    bool bFetched;         // the fetch is sent only after a key test answered with status 0
    bool bFetchAnswered;
    BYTE byFetchStatus;  // when fetched and answered
    // From every 0x81 query of the slot's dialogue (key test, fetch and follow-up).
    std::vector<std::string> terminalTexts;
    DWORD dwMs;
    // The port's error after the slot's last exchange that got no reply and left one; 0 when
    // none did.
    DWORD dwPortError;

    // Whether the terminal answered the key test and, where one was sent, the fetch; when
    // not, the slot's key state is unknown whatever the result file says.
    bool Answered() const { return bRequestAnswered && (!bFetched || bFetchAnswered); }
};

class KeySlotObserver {
public:
    virtual ~KeySlotObserver() {}
    virtual void OnSlotDone(const KeySlotReport& report) = 0;
};

// One line saying which slots the terminal did not answer, that their states are unknown,
// and why when a port knew; "" when it answered every slot.
std::string DescribeUnansweredSlots(const std::vector<KeySlotReport>& reports);

// Why a run stopped before its first slot was done: no write reached the device.
std::string DescribeNothingWritten(DWORD dwPortError);
