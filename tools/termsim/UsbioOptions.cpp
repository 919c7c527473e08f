#include "UsbioOptions.h"

#include "Bytes.h"
#include "FaultPlan.h"

namespace termsim {

namespace {

const char* const kNames[] = {"--usbio-socket",         "--usbio-id",         "--usbio-packet-size",
                              "--usbio-driver-version", "--usbio-packet-gap", "--usbio-replug-after"};

bool parseIds(const std::string& text, std::uint16_t& vendor, std::uint16_t& product) {
    const std::size_t colon = text.find(':');
    if (colon != 4 || text.size() != 9)
        return false;
    unsigned long long v = 0, p = 0;
    if (!parseUnsigned("0x" + text.substr(0, 4), 0xFFFF, v) ||
        !parseUnsigned("0x" + text.substr(5), 0xFFFF, p))
        return false;
    vendor = static_cast<std::uint16_t>(v);
    product = static_cast<std::uint16_t>(p);
    return true;
}

}  // namespace

bool isUsbioOption(const std::string& name) {
    for (const char* known : kNames)
        if (name == known)
            return true;
    return false;
}

bool parseUsbioOption(const std::string& name, const std::string& value, UsbioOptions& options,
                      std::string& error) {
    auto bad = [&](const std::string& what) {
        error = "bad value '" + value + "' for " + name + ": " + what;
        return false;
    };
    unsigned long long v = 0;
    options.anyGiven = true;
    if (name == "--usbio-socket") {
        if (value.empty() || value.size() > 107)
            return bad("expected a socket path of at most 107 characters");
        options.socketPath = value;
    } else if (name == "--usbio-id") {
        if (!parseIds(value, options.vendorId, options.productId))
            return bad("expected VVVV:PPPP in hex");
    } else if (name == "--usbio-packet-size") {
        if (!parseUnsigned(value, 512, v) || (v != 8 && v != 16 && v != 32 && v != 64 && v != 512))
            return bad("expected 8, 16, 32, 64 or 512");
        options.packetSize = static_cast<unsigned>(v);
    } else if (name == "--usbio-driver-version") {
        if (!parseUnsigned(value, 0xFFFF, v))
            return bad("expected a version 0 to 0xFFFF, such as 0x0141");
        options.driverVersion = static_cast<std::uint16_t>(v);
    } else if (name == "--usbio-packet-gap" || name == "--usbio-replug-after") {
        unsigned ms = 0;
        if (!parseDurationMs(value, ms) || ms == 0)
            return bad(std::string("expected a duration above 0: ") + kDurationExpected);
        (name == "--usbio-packet-gap" ? options.packetGapMs : options.replugAfterMs) = ms;
    }
    return true;
}

const char* usbioHelpText() {
    return R"(Virtual USB device (--transport usbio)
  Serves one USB device to the library's USBIO layer over a SOCK_SEQPACKET Unix
  socket (named to it by IOCLASSLIB_VIRTUAL_USBIO): one configuration, interface
  0 with bulk endpoints 0x02 OUT (requests) and 0x83 IN (replies). An IN
  transfer gets at most one packet of what is queued at a time and ends with a
  short packet, when its count is reached, or when the queue runs dry; a whole
  packet that empties the queue is followed by a zero-length one (which ends
  the next transfer when this one is full). A packet bigger than the room left
  in a transfer overruns it, as a host controller fails it, and is lost.
  Ready line: READY usbio SOCKET_PATH
  --usbio-socket PATH       where to listen (default: in $TMPDIR or /tmp)
  --usbio-id VVVV:PPPP      vendor and product ID in hex (default 1209:0001)
  --usbio-packet-size N     wMaxPacketSize: 8, 16, 32, 64 or 512 (default 32)
  --usbio-driver-version V  interface version the driver reports (default
                            0x0141; the library refuses any other)
  --usbio-packet-gap DUR    pause before each further IN packet of a transfer
  --usbio-replug-after DUR  plug the device in again this long after it was
                            unplugged (default: it stays away)
  Faults close and close-after, and --close-after-frames, unplug the device;
  fault stall halts endpoint 0x83 instead of replying (every later read fails
  until the peer clears the halt).
)";
}

}  // namespace termsim
