// The terminal's interface application as far as the key check sees it: key-test
// requests, the fetch of their outcome, the follow-ups and the platform error query.
#pragma once

#include "Bytes.h"
#include "FaultPlan.h"
#include "Options.h"

#include <array>
#include <cstdint>
#include <string>

namespace termsim {

enum class CommandClass { KeyTestA, KeyTestB, Fetch, FollowUpQ, FollowUpR, ErrorQuery, Other };

// Statuses of this terminal beyond the ones the key check knows.
constexpr std::uint8_t kStatusMalformed = 0x01;
constexpr std::uint8_t kStatusBadSlot = 0x02;
constexpr std::uint8_t kStatusNoTestPending = 0x03;
constexpr std::uint8_t kStatusUnknownCommand = 0x04;

struct Command {
    CommandClass cls = CommandClass::Other;
    std::uint8_t byte = 0;
    int slot = -1;           // the slot the command concerns, -1 when none
    char testKind = 0;       // 'a' or 'b' for the key test it belongs to, 0 when none
    std::string text;        // for the transcript: "a slot=3 account=..." etc.
    std::string problem;     // a malformed request: what is wrong (for ERR)
    CommandContext context;  // class names for fault matching
};

struct Reply {
    std::uint8_t type = 0;
    std::uint8_t status = 0;
    Bytes data;
    Bytes payload() const;  // status followed by data
};

class Terminal {
public:
    Terminal(const std::array<KeyState, 10>& masterKeys, const std::array<KeyState, 10>& dukptKeys);

    // A fixed answer to the platform error query, whatever happened before.
    void setPlatformError(std::uint16_t code, const std::string& text);

    // What the command is; depends on the state (the slot of the latest key test).
    Command classify(std::uint8_t command, const Bytes& data) const;

    // Carries the command out and builds its reply. A status override (a fault) replaces
    // the status the terminal would give and is remembered as the last error like any other.
    // An error text (a fault too) becomes the description the next platform error query
    // gives, whatever the status and over a fixed platform error.
    Reply answer(const Command& command, const std::uint8_t* statusOverride,
                 const std::string* errorText = nullptr);

private:
    void remember(std::uint8_t status, const std::string& text);
    // Slot of the latest key-test request, -1 before the first.
    int latestSlot() const;

    std::array<KeyState, 10> m_master;
    std::array<KeyState, 10> m_dukpt;
    char m_latestKind = 0;           // kind of the latest key-test request
    int m_latestSlot[2] = {-1, -1};  // the latest slot tested with 'a' and with 'b'
    // The latest key test was accepted and not yet ended by its follow-up. Any key-test
    // request clears it first, so a pending test is always the latest one.
    bool m_pending = false;
    bool m_fixedError = false;
    std::uint16_t m_errorCode = 0;
    std::string m_errorText = "No error";
};

}  // namespace termsim
