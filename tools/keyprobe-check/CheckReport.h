// What the device check found, and its two ways of saying it: text for a person, JSON for
// a script. Collecting the facts is left to the other parts of the tool.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace keyprobecheck {

// Whether this user can open a device node, and what would let it when not.
struct Access {
    bool bCanOpen = false;
    std::string reason;  // empty when it can be opened
    std::string fix;     // empty when there is nothing the user can do about it
};

struct Device {
    std::string kind;  // "serial", "hid" or "usb"
    std::string path;
    std::vector<std::string> aliases;  // by-id links, COM names
    int nVendorId = -1;                // -1: not a USB device, or not known
    int nProductId = -1;
    bool bTerminal = false;  // its IDs are in the terminal's list
    std::string description;
    int nInputReportLength = -1;  // HID devices: the lengths HidP_GetCaps gives; -1 when not known
    int nOutputReportLength = -1;
    Access access;
    std::string unusable;  // why keyprobe cannot use it although it opens; empty when it can
};

// A device family the check could not list, and why.
struct Listing {
    std::string kind;
    std::string problem;
};

struct InputFileCheck {
    bool bGiven = false;
    std::string path;
    std::string fileProblem;  // why every setting keeps its default; empty when none
    std::vector<std::string> keysRead;
    std::vector<std::string> notes;
    std::string connection;  // what keyprobe would open, in words
    std::string device;      // the device node behind it, where there is one
    bool bOpened = false;
    std::string openFailure;
    std::string systemMessage;  // the system's own words for the failure, where it has them
    std::string fix;
};

struct DebugLogSwitch {
    std::string key;
    bool bOn = false;
    std::string file;
    std::string problem;  // why the library would not log there although the switch is on
};

struct RegistryCheck {
    std::string path;
    bool bFromEnvironment = false;
    std::string origin;      // where the path comes from, or which view of the registry it is
    std::string state;       // "missing", "read", "malformed", or why it cannot be read
    std::string key;         // the key the switches were looked for below; empty for all of them
    std::string keyProblem;  // why no switch was looked for there
    std::vector<DebugLogSwitch> switches;
    std::string debugOutput;  // IOCLASSLIB_DEBUG_OUTPUT in words; empty where there is none
};

struct Report {
    std::string user;
    std::vector<std::string> groups;  // empty where groups do not decide device access
    std::vector<Device> devices;
    std::vector<Listing> unlisted;
    InputFileCheck input;
    RegistryCheck registry;
};

void WriteText(const Report& report, std::ostream& out);
void WriteJson(const Report& report, std::ostream& out);

}  // namespace keyprobecheck
