#include "Options.h"

namespace termsim {

namespace {

const char kHelp[] =
    R"(termsim - terminal simulator for keyprobe and IOClassLib

Plays the terminal and its interface application over a pseudo-terminal, a
loopback TCP port, a virtual USB HID device or a virtual USB device of the USBIO
driver interface, answering each command with one reply frame, with key states
and faults chosen here. Every byte in and out goes to a timestamped transcript.

Usage: termsim [options]

Transport
  --transport pty|tcp|hid|usbio  what to serve on (default pty; hid, usbio: see below)
  --link PATH               pty: also make PATH a symbolic link to the slave side
                            (an existing link is replaced, a regular file refused;
                            the link is removed again on exit)
  --port N                  tcp: listen on 127.0.0.1 port N; 0 (the default) lets
                            the system choose. One connection is served at a time;
                            when it closes the next one is accepted.
  --close-after-frames N    tcp, hid: close the connection after sending its Nth reply
                            frame (counted per connection; 0, the default, never)

  --socket PATH             hid: the Unix socket (SOCK_SEQPACKET) of the virtual
                            device server, for IOCLASSLIB_VIRTUAL_HID (default
                            $TMPDIR/termsim-hid-PID.sock; removed on exit)
  --usb-id VVVV:PPPP        hid: vendor and product ID in hex (default 1209:0001)
  --report-length N         hid: input and output report length as Windows counts
                            it, report ID byte included (default 65, 2 to 4096)
  --input-length N, --output-length N   hid: one of the two
  --report-ids IN:OUT       hid: report IDs of input and output reports (default 1:2)
  --unnumbered              hid: reports carry no ID (conflicts with --report-ids)
  --unplug-after-frames N   hid: unplug the device once its Nth reply frame has
                            been taken: the request after it gets no reply, the
                            device goes (frames counted over the whole run; 0,
                            the default, never)
  --replug-after DUR        hid: plug it in again this long after the unplug
                            (default never)
    A message travels in reports of: report ID (numbered only), count, up to
    length-2 payload bytes, zero fill. Each write leaves as one or more input
    reports, one a millisecond at the most, as the host fetches them from a
    full-speed interrupt endpoint; the payloads of the output reports form the
    byte stream read, each report taken (acknowledged) as it comes.

Once ready, exactly one line goes to standard output:
  READY pty SLAVE_PATH [LINK_PATH]
  READY tcp 127.0.0.1 PORT
  READY hid SOCKET_PATH
  READY usbio SOCKET_PATH

Framing
  --framing vli|stx|raw     default vli
    vli  frames 05 LEN CMD DATA.. XOR; LEN is the total length; length byte 00
         announces the long form 05 00 LO HI CMD DATA.. XOR. The XOR covers every
         byte before it. Replies: 05 LEN TYPE STATUS DATA.. XOR.
    stx  STX(02) MESSAGE ETX(03) LRC, LRC = XOR of MESSAGE and ETX. A good request
         is answered with ACK(06) and then the reply frame STX TYPE STATUS DATA..
         ETX LRC; a request with a wrong LRC gets NAK(15) and nothing else. The
         first message byte is taken as the command. The peer's ACK or NAK of
         the reply is recorded (RXC); after a NAK the reply is sent again up to
         --stx-resend N times (default 0).
    raw  requests carry no framing: a request ends when no byte has come for
         --raw-gap MS (default 50), or at once when the bytes received form one
         complete VLI frame with a right checksum (its command and data are
         then used). Otherwise the first byte is the command and the rest the
         data. Replies are short VLI frames.
  --frame-timeout MS        a partial frame older than this is discarded and
                            logged as an error (default 1000)

Terminal
  --ms KEYS                 states of the 10 master/session key slots
  --dukpt KEYS              states of the 10 DUKPT key slots
                            KEYS is 10 characters, slot 0 first:
                              L  loaded: the fetch answers status 00
                              8  absent: the fetch answers status F8
                              1  absent: the fetch answers status F1
                            default LLLLLLLLLL for both
  --platform-error CODE:TEXT
                            what command 81 reports as the last platform error
                            (CODE 0 to 0xFFFF). By default it describes the last
                            non-zero status the terminal gave: the status byte as
                            the code and a text such as "Key slot 3 is empty".

Commands answered (reply type = command byte):
  'a' (61) ' ' slot account(12) prompt FF trailer(8)   master/session key test
  'b' (62) 'p' slot account(12) prompt FF trailer(8)   DUKPT key test
      status 00, or 01 for a malformed request, 02 for a slot above 9
  16  fetch the outcome of the last key test: 00 when its slot is loaded, F8 or
      F1 when absent, 03 when no key test is pending
  'a' (61) 'Q' and 'b' (62) 'r'   follow-ups ending a key test: status 00
  81  last platform error: status 00, code (2 bytes, low first), description
  anything else: status 04
A non-zero status is remembered as the last platform error.

Faults (repeatable; each rule is CMD:SEL=ACTION[+ACTION...])
  --fault RULE
  CMD   a, b        key-test requests           Q (or aQ), r (or br)  follow-ups
        fetch       command 16 (fetch-a, fetch-b: after an 'a' or a 'b' test)
        error (or 0x81)   the platform error query
        0xNN        any command with that byte   *  every command
  SEL   *           always
        N, N-M      key slot(s) the command concerns (for fetch, Q, r and 81:
                    the slot of the latest key test)
        #N, #N-M    the Nth (to Mth) command of that CMD class, counting from 1
        lists mix them: 0,3,#7-9
  ACTION
        status:BYTE        reply with this status (an error status brings the
                           peer's 81 query)
        data:HEX           reply data after the status (e.g. data:41 or data:)
        pad:N              append N more data bytes 00 01 02 ...
        reply:HEX          send these bytes instead of the reply frame
        no-reply           send nothing
        bad-checksum       invert the checksum (LRC for stx)
        long-form          vli: use the long form even for a short reply
        length-over[:N]    vli/raw: length field N (default 2) larger than the
                           bytes that follow
        garbage[:HEX]      bytes before the frame (default 55 AA FF)
        trailing:HEX       bytes after the frame
        delay:DUR          wait before the reply
        split:N[:DUR]      send the reply in N parts, DUR between (default 100ms)
        split-at:K[,K..][:DUR]  split before these byte offsets
        header-split[:DUR] send the header (vli: 05 LEN TYPE STATUS, or the six
                           bytes of the long form; stx: STX TYPE STATUS) and the
                           rest as two writes (separate TCP segments)
        slow[:DUR]         one byte per write, DUR between (default 20ms)
        close              tcp, hid: close the connection instead of replying
        close-after        tcp, hid: close the connection after the reply
        no-ack             stx: send the reply frame without the leading ACK
        nak                stx: answer the request with NAK only
        error-text:TEXT    the platform error query after this command reports
                           TEXT (to the end of the action, colons included; at
                           most 248 characters; empty for none)
  DUR is milliseconds: 100, 100ms or 2s. Several matching rules combine; later
  ones win where they set the same thing. Offsets count from the first byte
  written, garbage included.
  Examples: --fault 'a:3=status:0x05'  --fault 'fetch:2=no-reply'
            --fault 'b:*=split:2:100ms' --fault 'fetch-b:#1=garbage+slow:5ms'

Transcript and recording
  --transcript FILE         write the transcript to FILE (flushed after each line)
      Lines: MS TAG TEXT, MS being CLOCK_MONOTONIC in milliseconds with
      microsecond decimals (e.g. 12345.678). Tags:
        RX HEX    bytes read in one chunk      TX HEX   bytes written in one chunk
        RXF HEX   a complete, well-formed frame received (whole frame)
        TXF HEX   a reply as built, faults included, just before its first TX
        RXC ACK|NAK   stx: the peer's acknowledgement
        RXR HEX   hid: one output report as the device received it
        TXR HEX   hid: one input report as the device sent it
        CMD TEXT  the decoded command, e.g. "a slot=3 ..." or "fetch slot=3"
        FAULT TEXT    the rules applied to the reply that follows
        ERR TEXT  a framing or protocol violation by the peer (checksum,
                  length, garbage, incomplete frame, malformed request; vli and
                  raw: an error status - not 00, 80 or F0 - of a reply sent
                  whole and in time not followed by the 81 query, or an 81
                  query with no such status before it) or a replay mismatch
        EV TEXT   start (with the settings), connect PEER, disconnect peer,
                  disconnect local (REASON), dropped N pending write(s),
                  write failed, stop signal|idle|max-seconds
      Lines starting with # are comments.
  --record FILE             also write the session to FILE for --replay
  --replay FILE             play the terminal side from FILE (a recording or a
                            transcript): wait for the recorded input, compare it,
                            send the recorded output with the recorded pauses,
                            close where the recording closed. Mismatches are ERR
                            lines and make the exit code 3. The input is still
                            decoded into RXF and CMD lines.

Life time
  --exit-after-idle SECONDS end after this long with no byte in either direction
  --max-seconds SECONDS     end after this long in any case
  SIGTERM and SIGINT end it cleanly.

Exit codes: 0 ended normally, 1 could not serve (pty, socket, files), 2 bad
command line, 3 replay mismatch.
  -h, --help                this text
)";

bool parseFraming(const std::string& text, Framing& framing) {
    if (text == "vli")
        framing = Framing::Vli;
    else if (text == "stx")
        framing = Framing::Stx;
    else if (text == "raw")
        framing = Framing::Raw;
    else
        return false;
    return true;
}

bool parseSeconds(const std::string& text, unsigned& ms) {
    unsigned long long v = 0;
    if (!parseUnsigned(text, 86400, v) || v == 0)
        return false;
    ms = static_cast<unsigned>(v * 1000);
    return true;
}

}  // namespace

const char* transportName(TransportKind kind) {
    switch (kind) {
    case TransportKind::Tcp: return "tcp";
    case TransportKind::Hid: return "hid";
    case TransportKind::Usbio: return "usbio";
    default: return "pty";
    }
}

const char* framingName(Framing framing) {
    switch (framing) {
    case Framing::Stx: return "stx";
    case Framing::Raw: return "raw";
    default: return "vli";
    }
}

bool parseKeyStates(const std::string& text, std::array<KeyState, 10>& states) {
    if (text.size() != states.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        switch (text[i]) {
        case 'L':
        case 'l': states[i] = KeyState::Loaded; break;
        case '8': states[i] = KeyState::AbsentF8; break;
        case '1': states[i] = KeyState::AbsentF1; break;
        default: return false;
        }
    }
    return true;
}

std::string keyStatesText(const std::array<KeyState, 10>& states) {
    std::string text;
    for (KeyState s : states)
        text.push_back(s == KeyState::Loaded ? 'L' : s == KeyState::AbsentF8 ? '8' : '1');
    return text;
}

std::string helpText() { return std::string(kHelp) + "\n" + usbioHelpText(); }

ParseOutcome parseCommandLine(const std::vector<std::string>& args, Options& options, std::string& error) {
    bool reportIdsGiven = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string name = args[i];
        std::string value;
        bool inlineValue = false;
        if (name == "-h" || name == "--help")
            return ParseOutcome::Help;
        if (name.compare(0, 2, "--") != 0) {
            error = "unexpected argument '" + name + "' (see --help)";
            return ParseOutcome::Error;
        }
        std::size_t equals = name.find('=');
        if (equals != std::string::npos) {
            value = name.substr(equals + 1);
            name = name.substr(0, equals);
            inlineValue = true;
        }
        static const char* const known[] = {"--transport",
                                            "--link",
                                            "--port",
                                            "--close-after-frames",
                                            "--framing",
                                            "--frame-timeout",
                                            "--raw-gap",
                                            "--stx-resend",
                                            "--ms",
                                            "--dukpt",
                                            "--platform-error",
                                            "--fault",
                                            "--transcript",
                                            "--record",
                                            "--replay",
                                            "--exit-after-idle",
                                            "--max-seconds",
                                            "--socket",
                                            "--usb-id",
                                            "--report-length",
                                            "--input-length",
                                            "--output-length",
                                            "--report-ids",
                                            "--unnumbered",
                                            "--unplug-after-frames",
                                            "--replug-after"};
        bool isKnown = isUsbioOption(name);
        for (const char* k : known)
            isKnown = isKnown || name == k;
        if (!isKnown) {
            error = "unknown option '" + name + "' (see --help)";
            return ParseOutcome::Error;
        }
        if (name == "--unnumbered") {
            if (inlineValue) {
                error = "option --unnumbered takes no value";
                return ParseOutcome::Error;
            }
            options.hid.numbered = false;
            options.hidSettingsGiven = true;
            continue;
        }
        if (!inlineValue) {
            if (i + 1 >= args.size()) {
                error = "option " + name + " needs a value";
                return ParseOutcome::Error;
            }
            value = args[++i];
        }
        unsigned long long v = 0;
        auto bad = [&](const std::string& what) {
            error = "bad value '" + value + "' for " + name + ": " + what;
            return ParseOutcome::Error;
        };

        if (isUsbioOption(name)) {
            if (!parseUsbioOption(name, value, options.usbio, error))
                return ParseOutcome::Error;
        } else if (name == "--transport") {
            if (value == "pty")
                options.transport = TransportKind::Pty;
            else if (value == "tcp")
                options.transport = TransportKind::Tcp;
            else if (value == "hid")
                options.transport = TransportKind::Hid;
            else if (value == "usbio")
                options.transport = TransportKind::Usbio;
            else
                return bad("expected pty, tcp, hid or usbio");
        } else if (name == "--link") {
            if (value.empty())
                return bad("expected a path");
            options.linkPath = value;
        } else if (name == "--port") {
            if (!parseUnsigned(value, 65535, v))
                return bad("expected a port number 0 to 65535");
            options.tcpPort = static_cast<unsigned>(v);
            options.tcpPortGiven = true;
        } else if (name == "--close-after-frames") {
            if (!parseUnsigned(value, 1000000, v))
                return bad("expected a frame count 0 to 1000000");
            options.closeAfterFrames = static_cast<unsigned>(v);
        } else if (name == "--socket") {
            if (value.empty() || value.size() > 107)
                return bad("expected a socket path of at most 107 characters");
            options.socketPath = value;
        } else if (name == "--usb-id") {
            unsigned long long vendor = 0, product = 0;
            std::size_t colon = value.find(':');
            if (colon != 4 || value.size() != 9 ||
                !parseUnsigned("0x" + value.substr(0, 4), 0xFFFF, vendor) ||
                !parseUnsigned("0x" + value.substr(5), 0xFFFF, product))
                return bad("expected VVVV:PPPP in hex");
            options.hid.vendorId = static_cast<std::uint16_t>(vendor);
            options.hid.productId = static_cast<std::uint16_t>(product);
            options.hidSettingsGiven = true;
        } else if (name == "--report-length" || name == "--input-length" || name == "--output-length") {
            if (!parseUnsigned(value, 4096, v) || v < 2)
                return bad("expected a length 2 to 4096");
            if (name != "--output-length")
                options.hid.inputLength = static_cast<unsigned>(v);
            if (name != "--input-length")
                options.hid.outputLength = static_cast<unsigned>(v);
            options.hidSettingsGiven = true;
        } else if (name == "--report-ids") {
            unsigned long long in = 0, out = 0;
            std::size_t colon = value.find(':');
            if (colon == std::string::npos || !parseUnsigned(value.substr(0, colon), 255, in) ||
                !parseUnsigned(value.substr(colon + 1), 255, out) || in == 0 || out == 0)
                return bad("expected IN:OUT, each 1 to 255");
            options.hid.inputId = static_cast<std::uint8_t>(in);
            options.hid.outputId = static_cast<std::uint8_t>(out);
            options.hidSettingsGiven = true;
            reportIdsGiven = true;
        } else if (name == "--unplug-after-frames") {
            if (!parseUnsigned(value, 1000000, v))
                return bad("expected a frame count 0 to 1000000");
            options.unplugAfterFrames = static_cast<unsigned>(v);
        } else if (name == "--replug-after") {
            unsigned ms = 0;
            if (!parseDurationMs(value, ms) || ms == 0)
                return bad(std::string("expected a duration above 0: ") + kDurationExpected);
            options.replugAfterMs = ms;
        } else if (name == "--framing") {
            if (!parseFraming(value, options.framing))
                return bad("expected vli, stx or raw");
        } else if (name == "--frame-timeout" || name == "--raw-gap") {
            unsigned ms = 0;
            if (!parseDurationMs(value, ms) || ms == 0)
                return bad(std::string("expected a duration above 0: ") + kDurationExpected);
            (name == "--raw-gap" ? options.rawGapMs : options.frameTimeoutMs) = ms;
        } else if (name == "--stx-resend") {
            if (!parseUnsigned(value, 100, v))
                return bad("expected a count 0 to 100");
            options.stxResend = static_cast<unsigned>(v);
        } else if (name == "--ms" || name == "--dukpt") {
            if (!parseKeyStates(value, name == "--ms" ? options.masterKeys : options.dukptKeys))
                return bad("expected 10 characters, each L (loaded), 8 (absent, F8) or 1 (absent, F1)");
        } else if (name == "--platform-error") {
            std::size_t colon = value.find(':');
            if (colon == std::string::npos || !parseUnsigned(value.substr(0, colon), 0xFFFF, v))
                return bad("expected CODE:TEXT with CODE 0 to 0xFFFF");
            if (value.size() - colon - 1 > 240)
                return bad("the text may have at most 240 characters");
            options.platformErrorGiven = true;
            options.platformErrorCode = static_cast<std::uint16_t>(v);
            options.platformErrorText = value.substr(colon + 1);
        } else if (name == "--fault") {
            std::string why;
            if (!options.faults.addRule(value, why)) {
                error = "bad --fault: " + why;
                return ParseOutcome::Error;
            }
        } else if (name == "--transcript" || name == "--record" || name == "--replay") {
            if (value.empty())
                return bad("expected a file path");
            (name == "--transcript" ? options.transcriptPath
             : name == "--record"   ? options.recordPath
                                    : options.replayPath) = value;
        } else if (name == "--exit-after-idle" || name == "--max-seconds") {
            if (!parseSeconds(value, name == "--max-seconds" ? options.maxMs : options.exitAfterIdleMs))
                return bad("expected whole seconds, 1 to 86400");
        }
    }

    // Combinations that cannot mean what the user wants are refused rather than ignored.
    bool tcp = options.transport == TransportKind::Tcp;
    bool hid = options.transport == TransportKind::Hid;
    if (!hid && (options.hidSettingsGiven || !options.socketPath.empty() || options.unplugAfterFrames != 0 ||
                 options.replugAfterMs != 0)) {
        error = "--socket, --usb-id, --report-length, --input-length, --output-length, --report-ids, "
                "--unnumbered, --unplug-after-frames and --replug-after need --transport hid";
        return ParseOutcome::Error;
    }
    if (reportIdsGiven && !options.hid.numbered) {
        error = "--unnumbered and --report-ids conflict: reports without IDs have no IDs to set";
        return ParseOutcome::Error;
    }
    if (hid && options.replugAfterMs != 0 && options.unplugAfterFrames == 0) {
        error = "--replug-after needs --unplug-after-frames";
        return ParseOutcome::Error;
    }
    if (!tcp && options.tcpPortGiven) {
        error = "--port needs --transport tcp";
        return ParseOutcome::Error;
    }
    // A virtual USB device hangs up by being unplugged.
    bool usbio = options.transport == TransportKind::Usbio;
    if (!tcp && !hid && !usbio && options.closeAfterFrames != 0) {
        error = "--close-after-frames needs --transport tcp, hid or usbio";
        return ParseOutcome::Error;
    }
    if (!usbio && options.usbio.anyGiven) {
        error = "--usbio-* options need --transport usbio";
        return ParseOutcome::Error;
    }
    if (!usbio && options.faults.usesAction("stall")) {
        error = "fault stall needs --transport usbio";
        return ParseOutcome::Error;
    }
    if (options.transport != TransportKind::Pty && !options.linkPath.empty()) {
        error = "--link needs --transport pty";
        return ParseOutcome::Error;
    }
    if (!tcp && !hid && !usbio &&
        (options.faults.usesAction("close") || options.faults.usesAction("close-after"))) {
        error =
            "faults close and close-after need --transport tcp, hid or usbio (a pseudo-terminal cannot be "
            "hung up)";
        return ParseOutcome::Error;
    }
    if (options.framing != Framing::Stx &&
        (options.faults.usesAction("no-ack") || options.faults.usesAction("nak"))) {
        error = "faults no-ack and nak need --framing stx";
        return ParseOutcome::Error;
    }
    if (options.framing == Framing::Stx && options.faults.usesAction("length-over")) {
        error = "fault length-over needs --framing vli or raw (stx frames carry no length)";
        return ParseOutcome::Error;
    }
    if (options.framing != Framing::Vli && options.faults.usesAction("long-form")) {
        error = "fault long-form needs --framing vli";
        return ParseOutcome::Error;
    }
    if (options.framing != Framing::Stx && options.stxResend != 0) {
        error = "--stx-resend needs --framing stx";
        return ParseOutcome::Error;
    }
    if (!options.replayPath.empty() && !options.faults.rules().empty()) {
        error = "--replay plays a recording as it is; it takes no --fault";
        return ParseOutcome::Error;
    }
    const std::string* files[] = {&options.transcriptPath, &options.recordPath, &options.replayPath};
    const char* fileOptions[] = {"--transcript", "--record", "--replay"};
    for (int i = 0; i < 3; ++i)
        for (int j = i + 1; j < 3; ++j)
            if (!files[i]->empty() && *files[i] == *files[j]) {
                error = std::string(fileOptions[i]) + " and " + fileOptions[j] + " name the same file";
                return ParseOutcome::Error;
            }
    return ParseOutcome::Run;
}

}  // namespace termsim
