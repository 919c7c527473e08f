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
    std::string state;  // "missing", "read", "malformed", or why it cannot be read
    std::vector<DebugLogSwitch> switches;
    std::string debugOutput;  // IOCLASSLIB_DEBUG_OUTPUT in words
};

struct Report {
    std::string user;
    std::vector<std::string> groups;
    std::vector<Device> devices;
    std::vector<Listing> unlisted;
    InputFileCheck input;
    RegistryCheck registry;
};

void WriteText(const Report& report, std::ostream& out);
void WriteJson(const Report& report, std::ostream& out);

}  // namespace keyprobecheck
