// Faults chosen on the command line, matched against each command the terminal receives.
//
// A rule reads CMD:SEL=ACTION[+ACTION...], for instance "a:3=status:0x05" or
// "fetch:#2=split:3:100ms+bad-checksum". CMD names a command class (see commandNames()),
// SEL picks slots or occurrences, ACTION says what happens to the reply.
#pragma once

#include "Bytes.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace termsim {

// What one command is, as far as the fault rules care.
struct CommandContext {
    std::vector<std::string>
        names;      // every class the command belongs to, e.g. {"fetch","fetch-a","0x16","*"}
    int slot = -1;  // key slot the command concerns, -1 when none
};

// Bit-level and timing changes to one reply. Several matching rules merge in order.
struct FaultSet {
    std::optional<std::uint8_t> status;
    std::optional<Bytes> data;
    std::size_t pad = 0;
    std::optional<Bytes> replaceWire;
    bool noReply = false;
    bool badChecksum = false;
    bool longForm = false;
    unsigned lengthOver = 0;
    Bytes garbage;
    Bytes trailing;
    unsigned delayMs = 0;

    enum class Split { None, Parts, At, Header, Slow };
    Split split = Split::None;
    unsigned parts = 0;
    std::vector<std::size_t> splitAt;
    unsigned pauseMs = 0;

    bool closeInstead = false;
    bool closeAfter = false;
    bool noAck = false;
    bool nak = false;
    bool stall = false;  // usbio: halt the IN endpoint instead of replying
    // What the platform error query reports after this command, in place of the text the
    // terminal would give; the code stays as it would be.
    std::optional<std::string> errorText;

    std::vector<std::string> applied;  // rule texts, for the transcript

    bool any() const { return !applied.empty(); }
};

struct FaultAction {
    std::string kind;  // "status", "split", ...
    std::string text;  // as written
    std::uint8_t byteValue = 0;
    unsigned number = 0;
    unsigned pauseMs = 0;
    Bytes bytes;
    std::vector<std::size_t> offsets;
    std::string errorText;
};

struct SlotSelector {
    bool all = false;
    std::vector<std::pair<int, int>> slotRanges;             // inclusive
    std::vector<std::pair<unsigned, unsigned>> occurrences;  // inclusive, 1-based
};

struct FaultRule {
    std::string text;
    std::string command;  // normalised class name
    SlotSelector selector;
    std::vector<FaultAction> actions;
};

class FaultPlan {
public:
    // Parses one rule and adds it; on failure leaves the plan as it was and explains why.
    bool addRule(const std::string& text, std::string& error);

    // Matches a command whose classes have been counted already: occurrence[i] is how many
    // commands of class names[i] have been seen, this one included.
    FaultSet match(const CommandContext& context, const std::vector<unsigned>& occurrence) const;

    const std::vector<FaultRule>& rules() const { return m_rules; }
    bool usesAction(const std::string& kind) const;

    // Command class names a rule may use, normalised.
    static const std::vector<std::string>& commandNames();
    // "error" -> "0x81", "aQ" -> "Q", "0X1A" -> "0x1a"; empty when the name is unknown.
    static std::string normaliseCommand(const std::string& name);

private:
    std::vector<FaultRule> m_rules;
};

// "100", "100ms", "2s" -> milliseconds.
bool parseDurationMs(const std::string& text, unsigned& ms);
// What parseDurationMs takes, in words for an error message.
extern const char kDurationExpected[];

}  // namespace termsim
