#include "FaultPlan.h"

#include <cstdio>

namespace termsim {

namespace {

std::vector<std::string> splitOn(const std::string& text, char separator) {
    std::vector<std::string> parts;
    std::string current;
    for (char c : text) {
        if (c == separator) {
            parts.push_back(current);
            current.clear();
        } else {
            current.push_back(c);
        }
    }
    parts.push_back(current);
    return parts;
}

bool parseSelector(const std::string& text, SlotSelector& selector, std::string& error) {
    if (text == "*") {
        selector.all = true;
        return true;
    }
    for (const std::string& item : splitOn(text, ',')) {
        if (item.empty()) {
            error = "empty item in selector '" + text + "'";
            return false;
        }
        bool occurrence = item[0] == '#';
        std::string body = occurrence ? item.substr(1) : item;
        std::string first = body, last = body;
        std::size_t dash = body.find('-');
        if (dash != std::string::npos) {
            first = body.substr(0, dash);
            last = body.substr(dash + 1);
        }
        unsigned long long lo = 0, hi = 0;
        if (occurrence) {
            if (!parseUnsigned(first, 1000000, lo) || !parseUnsigned(last, 1000000, hi) || lo == 0 ||
                hi < lo) {
                error = "bad occurrence '" + item + "' (use #N or #N-M, counting from 1 up to 1000000)";
                return false;
            }
            selector.occurrences.emplace_back(static_cast<unsigned>(lo), static_cast<unsigned>(hi));
        } else {
            if (!parseUnsigned(first, 255, lo) || !parseUnsigned(last, 255, hi) || hi < lo) {
                error = "bad slot '" + item + "' (use N, N-M with slots 0 to 255, #N or *)";
                return false;
            }
            selector.slotRanges.emplace_back(static_cast<int>(lo), static_cast<int>(hi));
        }
    }
    return true;
}

bool parseOffsets(const std::string& text, std::vector<std::size_t>& offsets) {
    for (const std::string& item : splitOn(text, ',')) {
        unsigned long long v = 0;
        if (!parseUnsigned(item, 65536, v) || v == 0)
            return false;
        offsets.push_back(static_cast<std::size_t>(v));
    }
    return !offsets.empty();
}

// Longest description that keeps the reply to the platform error query a short frame:
// 255 bytes less start, length, type, status, two code bytes and the checksum.
const std::size_t kMaxErrorText = 248;

bool parseAction(const std::string& text, FaultAction& action, std::string& error) {
    std::vector<std::string> args = splitOn(text, ':');
    action.kind = args[0];
    action.text = text;
    if (action.kind == "error-text") {
        // The text runs to the end of the action, colons and all.
        if (args.size() < 2) {
            error = "fault 'error-text' takes a text: '" + text + "'";
            return false;
        }
        action.errorText = text.substr(text.find(':') + 1);
        if (action.errorText.size() > kMaxErrorText) {
            error = "fault 'error-text' takes at most " + std::to_string(kMaxErrorText) + " characters";
            return false;
        }
        return true;
    }
    const std::string& kind = action.kind;
    auto argCountIs = [&](std::size_t lo, std::size_t hi) {
        if (args.size() - 1 < lo || args.size() - 1 > hi) {
            error = "fault '" + kind + "' takes " +
                    (lo == hi ? std::to_string(lo) : std::to_string(lo) + " to " + std::to_string(hi)) +
                    " argument(s): '" + text + "'";
            return false;
        }
        return true;
    };
    auto pauseArg = [&](std::size_t index, unsigned fallback) {
        action.pauseMs = fallback;
        if (args.size() > index && !parseDurationMs(args[index], action.pauseMs)) {
            error = "bad duration '" + args[index] + "' in '" + text + "' (" + kDurationExpected + ")";
            return false;
        }
        return true;
    };
    auto hexArg = [&](std::size_t index) {
        if (args.size() > index && !parseHex(args[index], action.bytes)) {
            error = "bad hex bytes '" + args[index] + "' in '" + text + "'";
            return false;
        }
        return true;
    };
    unsigned long long v = 0;

    if (kind == "status") {
        if (!argCountIs(1, 1))
            return false;
        if (!parseUnsigned(args[1], 255, v)) {
            error = "bad status byte '" + args[1] + "' (0 to 255, decimal or 0x..)";
            return false;
        }
        action.byteValue = static_cast<std::uint8_t>(v);
        return true;
    }
    if (kind == "data" || kind == "reply") {
        if (!argCountIs(1, 1) || !hexArg(1))
            return false;
        if (kind == "reply" && action.bytes.empty()) {
            error = "fault 'reply' needs at least one byte";
            return false;
        }
        return true;
    }
    if (kind == "garbage") {
        if (!argCountIs(0, 1))
            return false;
        action.bytes = {0x55, 0xAA, 0xFF};
        if (!hexArg(1))
            return false;
        if (action.bytes.empty()) {
            error = "fault 'garbage' needs at least one byte";
            return false;
        }
        return true;
    }
    if (kind == "trailing") {
        if (!argCountIs(1, 1) || !hexArg(1))
            return false;
        if (action.bytes.empty()) {
            error = "fault 'trailing' needs at least one byte";
            return false;
        }
        return true;
    }
    if (kind == "pad" || kind == "length-over" || kind == "split") {
        std::size_t maxArgs = kind == "split" ? 2 : 1;
        std::size_t minArgs = kind == "length-over" ? 0 : 1;
        if (!argCountIs(minArgs, maxArgs))
            return false;
        action.number = kind == "length-over" ? 2 : 0;
        unsigned long long limit = kind == "pad" ? 65000 : 255;
        if (args.size() > 1 && (!parseUnsigned(args[1], limit, v) || (kind != "pad" && v == 0))) {
            error = "bad count '" + args[1] + "' in '" + text + "' (" +
                    (kind == "pad" ? "0 to 65000" : "1 to 255") + ")";
            return false;
        }
        if (args.size() > 1)
            action.number = static_cast<unsigned>(v);
        if (kind == "split" && action.number < 2) {
            error = "fault 'split' needs at least 2 parts: '" + text + "'";
            return false;
        }
        return kind != "split" || pauseArg(2, 100);
    }
    if (kind == "split-at") {
        if (!argCountIs(1, 2))
            return false;
        if (!parseOffsets(args[1], action.offsets)) {
            error =
                "bad offsets '" + args[1] + "' in '" + text + "' (byte offsets 1 to 65536, comma separated)";
            return false;
        }
        return pauseArg(2, 100);
    }
    if (kind == "header-split")
        return argCountIs(0, 1) && pauseArg(1, 100);
    if (kind == "slow")
        return argCountIs(0, 1) && pauseArg(1, 20);
    if (kind == "delay") {
        if (!argCountIs(1, 1))
            return false;
        return pauseArg(1, 0);
    }
    if (kind == "no-reply" || kind == "bad-checksum" || kind == "long-form" || kind == "close" ||
        kind == "close-after" || kind == "no-ack" || kind == "nak" || kind == "stall")
        return argCountIs(0, 0);

    error = "unknown fault '" + kind + "' (see --help)";
    return false;
}

bool selectorMatches(const SlotSelector& selector, int slot, unsigned occurrence) {
    if (selector.all)
        return true;
    for (const auto& range : selector.slotRanges)
        if (slot >= range.first && slot <= range.second)
            return true;
    for (const auto& range : selector.occurrences)
        if (occurrence >= range.first && occurrence <= range.second)
            return true;
    return false;
}

}  // namespace

const char kDurationExpected[] = "milliseconds or seconds up to 1 hour, as 100, 100ms or 2s";

bool parseDurationMs(const std::string& text, unsigned& ms) {
    std::string number = text;
    unsigned long long scale = 1;
    if (number.size() > 2 && number.compare(number.size() - 2, 2, "ms") == 0) {
        number.resize(number.size() - 2);
    } else if (number.size() > 1 && number.back() == 's') {
        number.pop_back();
        scale = 1000;
    }
    unsigned long long v = 0;
    if (number.empty() || number.find_first_not_of("0123456789") != std::string::npos ||
        !parseUnsigned(number, 3600000, v) || v * scale > 3600000)
        return false;
    ms = static_cast<unsigned>(v * scale);
    return true;
}

const std::vector<std::string>& FaultPlan::commandNames() {
    static const std::vector<std::string> names = {"a", "b", "fetch", "fetch-a", "fetch-b",
                                                   "Q", "r", "0x81",  "*"};
    return names;
}

std::string FaultPlan::normaliseCommand(const std::string& name) {
    if (name == "error")
        return "0x81";
    if (name == "aQ")
        return "Q";
    if (name == "br")
        return "r";
    for (const std::string& known : commandNames())
        if (name == known)
            return name;
    unsigned long long v = 0;
    if (name.size() == 4 && (name.compare(0, 2, "0x") == 0 || name.compare(0, 2, "0X") == 0) &&
        parseUnsigned(name, 255, v)) {
        char text[8];
        std::snprintf(text, sizeof text, "0x%02x", static_cast<unsigned>(v));
        return text;
    }
    return std::string();
}

bool FaultPlan::addRule(const std::string& text, std::string& error) {
    FaultRule rule;
    rule.text = text;
    std::size_t equals = text.find('=');
    std::size_t colon = text.find(':');
    if (equals == std::string::npos || colon == std::string::npos || colon > equals) {
        error = "fault '" + text + "' is not of the form CMD:SEL=ACTION";
        return false;
    }
    std::string command = text.substr(0, colon);
    rule.command = normaliseCommand(command);
    if (rule.command.empty()) {
        error = "unknown command '" + command + "' in fault '" + text +
                "' (a, b, fetch, fetch-a, fetch-b, Q, r, error, 0xNN or *)";
        return false;
    }
    if (!parseSelector(text.substr(colon + 1, equals - colon - 1), rule.selector, error)) {
        error += " in fault '" + text + "'";
        return false;
    }
    std::string actions = text.substr(equals + 1);
    if (actions.empty()) {
        error = "fault '" + text + "' names no action";
        return false;
    }
    for (const std::string& item : splitOn(actions, '+')) {
        FaultAction action;
        if (!parseAction(item, action, error))
            return false;
        rule.actions.push_back(action);
    }
    m_rules.push_back(rule);
    return true;
}

bool FaultPlan::usesAction(const std::string& kind) const {
    for (const FaultRule& rule : m_rules)
        for (const FaultAction& action : rule.actions)
            if (action.kind == kind)
                return true;
    return false;
}

FaultSet FaultPlan::match(const CommandContext& context, const std::vector<unsigned>& occurrence) const {
    FaultSet set;
    for (const FaultRule& rule : m_rules) {
        bool matched = false;
        for (std::size_t i = 0; i < context.names.size() && !matched; ++i) {
            if (context.names[i] != rule.command)
                continue;
            unsigned count = i < occurrence.size() ? occurrence[i] : 0;
            matched = selectorMatches(rule.selector, context.slot, count);
        }
        if (!matched)
            continue;
        set.applied.push_back(rule.text);
        for (const FaultAction& a : rule.actions) {
            const std::string& k = a.kind;
            if (k == "status") {
                set.status = a.byteValue;
            } else if (k == "data") {
                set.data = a.bytes;
            } else if (k == "pad") {
                set.pad = a.number;
            } else if (k == "reply") {
                set.replaceWire = a.bytes;
            } else if (k == "no-reply") {
                set.noReply = true;
            } else if (k == "bad-checksum") {
                set.badChecksum = true;
            } else if (k == "long-form") {
                set.longForm = true;
            } else if (k == "length-over") {
                set.lengthOver = a.number;
            } else if (k == "garbage") {
                set.garbage = a.bytes;
            } else if (k == "trailing") {
                set.trailing = a.bytes;
            } else if (k == "delay") {
                set.delayMs = a.pauseMs;
            } else if (k == "split") {
                set.split = FaultSet::Split::Parts;
                set.parts = a.number;
                set.pauseMs = a.pauseMs;
            } else if (k == "split-at") {
                set.split = FaultSet::Split::At;
                set.splitAt = a.offsets;
                set.pauseMs = a.pauseMs;
            } else if (k == "header-split") {
                set.split = FaultSet::Split::Header;
                set.pauseMs = a.pauseMs;
            } else if (k == "slow") {
                set.split = FaultSet::Split::Slow;
                set.pauseMs = a.pauseMs;
            } else if (k == "close") {
                set.closeInstead = true;
            } else if (k == "stall") {
                set.stall = true;
            } else if (k == "close-after") {
                set.closeAfter = true;
            } else if (k == "no-ack") {
                set.noAck = true;
            } else if (k == "nak") {
                set.nak = true;
            } else if (k == "error-text") {
                set.errorText = a.errorText;
            }
        }
    }
    return set;
}

}  // namespace termsim
