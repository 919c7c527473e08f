// The command line of termsim: what it serves, how, and which faults it plays.
#pragma once

#include "FaultPlan.h"
#include "HidTransport.h"
#include "UsbioOptions.h"

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace termsim {

enum class TransportKind { Pty, Tcp, Hid, Usbio };
enum class Framing { Vli, Stx, Raw };

// State of one key slot: loaded, or absent with the fetch status the terminal gives for it.
enum class KeyState { Loaded, AbsentF8, AbsentF1 };

struct Options {
    TransportKind transport = TransportKind::Pty;
    std::string linkPath;  // pty: symbolic link to the slave side
    unsigned tcpPort = 0;  // tcp: 0 lets the system choose
    bool tcpPortGiven = false;
    Framing framing = Framing::Vli;
    std::array<KeyState, 10> masterKeys{};
    std::array<KeyState, 10> dukptKeys{};
    FaultPlan faults;
    bool platformErrorGiven = false;
    std::uint16_t platformErrorCode = 0;
    std::string platformErrorText;
    std::string transcriptPath;
    std::string recordPath;
    std::string replayPath;
    unsigned closeAfterFrames = 0;  // tcp: 0 never
    std::string socketPath;         // hid: empty chooses one
    HidDeviceShape hid;
    bool hidSettingsGiven = false;
    unsigned unplugAfterFrames = 0;  // hid: 0 never
    unsigned replugAfterMs = 0;      // hid: 0 never
    unsigned exitAfterIdleMs = 0;    // 0 never
    unsigned maxMs = 0;              // 0 never
    unsigned frameTimeoutMs = 1000;
    unsigned rawGapMs = 50;
    unsigned stxResend = 0;
    UsbioOptions usbio;
};

enum class ParseOutcome { Run, Help, Error };

// args excludes the program name. On Error, error holds one line saying what is wrong.
ParseOutcome parseCommandLine(const std::vector<std::string>& args, Options& options, std::string& error);

std::string helpText();

const char* transportName(TransportKind kind);
const char* framingName(Framing framing);
// "LL8L1LLLLL" -> states; false on a wrong length or an unknown letter.
bool parseKeyStates(const std::string& text, std::array<KeyState, 10>& states);
std::string keyStatesText(const std::array<KeyState, 10>& states);

}  // namespace termsim
