#include "Terminal.h"

#include <cstdio>

namespace termsim {

namespace {

std::string quoted(const Bytes& bytes, std::size_t from, std::size_t count) {
    std::string text = "\"";
    for (std::size_t i = from; i < from + count && i < bytes.size(); ++i) {
        unsigned char c = bytes[i];
        if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') {
            text.push_back(static_cast<char>(c));
        } else {
            char esc[8];
            std::snprintf(esc, sizeof esc, "\\x%02X", c);
            text += esc;
        }
    }
    return text + "\"";
}

std::string hexName(std::uint8_t byte) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", byte);
    return text;
}

}  // namespace

Bytes Reply::payload() const {
    Bytes p;
    p.reserve(1 + data.size());
    p.push_back(status);
    p.insert(p.end(), data.begin(), data.end());
    return p;
}

Terminal::Terminal(const std::array<KeyState, 10>& masterKeys, const std::array<KeyState, 10>& dukptKeys)
    : m_master(masterKeys), m_dukpt(dukptKeys) {}

void Terminal::setPlatformError(std::uint16_t code, const std::string& text) {
    m_fixedError = true;
    m_errorCode = code;
    m_errorText = text;
}

void Terminal::remember(std::uint8_t status, const std::string& text) {
    if (m_fixedError || status == 0)
        return;
    m_errorCode = status;
    m_errorText = text;
}

int Terminal::latestSlot() const {
    // Before the first key test both slots are still -1.
    return m_latestSlot[m_latestKind == 'b' ? 1 : 0];
}

Command Terminal::classify(std::uint8_t byte, const Bytes& data) const {
    Command c;
    c.byte = byte;
    std::string hex = hexName(byte);
    if ((byte == 'a' && data.size() == 1 && data[0] == 'Q') ||
        (byte == 'b' && data.size() == 1 && data[0] == 'r')) {
        bool q = byte == 'a';
        c.cls = q ? CommandClass::FollowUpQ : CommandClass::FollowUpR;
        c.testKind = static_cast<char>(byte);
        c.slot = m_latestSlot[q ? 0 : 1];
        c.text = std::string(q ? "Q" : "r") + " slot=" + std::to_string(c.slot);
        c.context.names = {q ? "Q" : "r", hex, "*"};
    } else if (byte == 'a' || byte == 'b') {
        bool a = byte == 'a';
        c.cls = a ? CommandClass::KeyTestA : CommandClass::KeyTestB;
        c.testKind = static_cast<char>(byte);
        c.slot = data.size() > 1 ? data[1] : -1;
        std::uint8_t subCode = a ? ' ' : 'p';
        if (data.size() < 23) {
            c.problem =
                "key-test request of " + std::to_string(data.size()) + " data bytes, at least 23 expected";
        } else if (data[0] != subCode) {
            c.problem = "sub-code " + toHex(&data[0], 1) + ", expected " + toHex(&subCode, 1);
        } else if (data[data.size() - 9] != 0xFF) {
            c.problem = "no FF between the prompt and the 8-byte trailing field";
        }
        c.text = std::string(a ? "a" : "b") + " slot=" + std::to_string(c.slot);
        if (data.size() >= 23) {
            std::size_t promptLength = data.size() - 23;
            c.text += " sub=" + toHex(&data[0], 1) + " account=" + quoted(data, 2, 12) +
                      " prompt=" + quoted(data, 14, promptLength) +
                      " trailer=" + quoted(data, data.size() - 8, 8);
        } else {
            c.text += " data=" + toHex(data);
        }
        c.context.names = {a ? "a" : "b", hex, "*"};
    } else if (byte == 0x16) {
        c.cls = CommandClass::Fetch;
        c.testKind = m_latestKind;
        c.slot = latestSlot();
        c.text = "fetch slot=" + std::to_string(c.slot) +
                 (m_latestKind ? std::string(" test=") + m_latestKind : "");
        c.context.names = {"fetch", hex, "*"};
        if (m_latestKind)
            c.context.names.push_back(std::string("fetch-") + m_latestKind);
        if (!data.empty())
            c.problem = "fetch with " + std::to_string(data.size()) + " data bytes, none expected";
    } else if (byte == 0x81) {
        c.cls = CommandClass::ErrorQuery;
        c.testKind = m_latestKind;
        c.slot = latestSlot();
        c.text = "0x81 slot=" + std::to_string(c.slot);
        c.context.names = {"0x81", "*"};
        if (!data.empty())
            c.problem =
                "platform error query with " + std::to_string(data.size()) + " data bytes, none expected";
    } else {
        c.cls = CommandClass::Other;
        c.text = hex + " data=" + toHex(data);
        c.context.names = {hex, "*"};
    }
    c.context.slot = c.slot;
    return c;
}

Reply Terminal::answer(const Command& command, const std::uint8_t* statusOverride,
                       const std::string* errorText) {
    Reply r;
    r.type = command.byte;
    std::string why;
    switch (command.cls) {
    case CommandClass::KeyTestA:
    case CommandClass::KeyTestB: {
        int kindIndex = command.cls == CommandClass::KeyTestA ? 0 : 1;
        m_latestKind = command.testKind;
        m_latestSlot[kindIndex] = command.slot;
        m_pending = false;
        if (!command.problem.empty()) {
            r.status = kStatusMalformed;
            why = "Malformed key test request";
        } else if (command.slot < 0 || command.slot > 9) {
            r.status = kStatusBadSlot;
            why = "No key slot " + std::to_string(command.slot);
        } else {
            r.status = 0;
            m_pending = true;
        }
        break;
    }
    case CommandClass::Fetch:
        if (!m_pending) {
            r.status = kStatusNoTestPending;
            why = "No key test pending";
        } else {
            const auto& keys = m_latestKind == 'a' ? m_master : m_dukpt;
            int slot = latestSlot();
            KeyState state = keys[static_cast<std::size_t>(slot)];
            r.status = state == KeyState::Loaded ? 0x00 : state == KeyState::AbsentF8 ? 0xF8 : 0xF1;
            why = "Key slot " + std::to_string(slot) + " is empty";
        }
        break;
    case CommandClass::FollowUpQ:
    case CommandClass::FollowUpR:
        if (m_pending && m_latestKind == command.testKind)
            m_pending = false;
        r.status = 0;
        break;
    case CommandClass::ErrorQuery:
        r.status = 0;
        r.data.push_back(static_cast<std::uint8_t>(m_errorCode & 0xFF));
        r.data.push_back(static_cast<std::uint8_t>(m_errorCode >> 8));
        r.data.insert(r.data.end(), m_errorText.begin(), m_errorText.end());
        break;
    case CommandClass::Other:
        r.status = kStatusUnknownCommand;
        why = "Unknown command " + toHex(&command.byte, 1);
        break;
    }
    if (statusOverride != nullptr && *statusOverride != r.status) {
        r.status = *statusOverride;
        why = "Simulated error status " + toHex(statusOverride, 1);
        // A refused key test leaves nothing to fetch.
        if ((command.cls == CommandClass::KeyTestA || command.cls == CommandClass::KeyTestB) && r.status != 0)
            m_pending = false;
    }
    remember(r.status, why);
    if (errorText != nullptr)
        m_errorText = *errorText;
    return r;
}

}  // namespace termsim
