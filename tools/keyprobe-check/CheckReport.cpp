#include "CheckReport.h"

#include <stdio.h>

#include "Json.h"

namespace keyprobecheck {

namespace {

std::string UsbId(const Device& d) {
    if (d.nVendorId < 0)
        return "";
    char sz[16];
    snprintf(sz, sizeof(sz), "%04x:%04x", d.nVendorId & 0xFFFF, d.nProductId & 0xFFFF);
    return sz;
}

std::string Joined(const std::vector<std::string>& items, const char* pszSeparator) {
    std::string s;
    for (size_t i = 0; i < items.size(); ++i)
        s += (i ? pszSeparator : "") + items[i];
    return s;
}

void WriteDeviceLine(const Device& d, std::ostream& out) {
    out << "  " << d.path;
    std::vector<std::string> extra = d.aliases;
    if (!UsbId(d).empty())
        extra.insert(extra.begin(), UsbId(d));
    if (!d.description.empty())
        extra.push_back(d.description);
    if (d.nInputReportLength >= 0)
        extra.push_back("reports " + std::to_string(d.nInputReportLength) + " bytes in, " +
                        std::to_string(d.nOutputReportLength) + " out");
    if (!extra.empty())
        out << "  (" << Joined(extra, ", ") << ")";
    if (d.bTerminal)
        out << "  [terminal]";
    out << "\n    "
        << (d.access.bCanOpen ? "this user can open it" : "this user cannot open it: " + d.access.reason);
    if (!d.unusable.empty())
        out << ", but keyprobe cannot use it: " << d.unusable;
    out << "\n";
    if (!d.access.fix.empty())
        out << "    fix: " << d.access.fix << "\n";
}

const char* const kFamilies[][2] = {
    {"serial", "Serial ports"},
    {"hid", "USB HID devices"},
    {"usb", "USB devices"},
};

std::string List(const std::vector<std::string>& items) {
    std::string s = "[";
    for (size_t i = 0; i < items.size(); ++i)
        s += (i ? ", " : "") + JsonString(items[i]);
    return s + "]";
}

const char* Bool(bool b) { return b ? "true" : "false"; }

}  // namespace

void WriteText(const Report& report, std::ostream& out) {
    out << "keyprobe-check: user " << report.user;
    if (!report.groups.empty())
        out << ", groups " << Joined(report.groups, ", ");
    out << "\n";

    for (const auto& family : kFamilies) {
        out << "\n" << family[1] << "\n";
        bool bAny = false;
        for (const Device& d : report.devices) {
            if (d.kind == family[0]) {
                WriteDeviceLine(d, out);
                bAny = true;
            }
        }
        for (const Listing& l : report.unlisted)
            if (l.kind == family[0]) {
                out << "  not listed: " << l.problem << "\n";
                bAny = true;
            }
        if (!bAny)
            out << "  none found\n";
    }

    const InputFileCheck& in = report.input;
    out << "\nInput file\n";
    if (!in.bGiven) {
        out << "  none given (keyprobe-check FILE.ini tells what keyprobe would open for it)\n";
    } else {
        out << "  " << in.path << "\n";
        if (!in.fileProblem.empty())
            out << "  " << in.fileProblem << "; every setting keeps its default\n";
        else
            out << "  keys read: " << (in.keysRead.empty() ? "none" : Joined(in.keysRead, ", ")) << "\n";
        for (const std::string& note : in.notes)
            out << "  note: " << note << "\n";
        out << "  keyprobe would open: " << in.connection;
        if (!in.device.empty())
            out << " (" << in.device << ")";
        out << "\n";
        if (in.bOpened)
            out << "  opened and closed again, nothing sent: keyprobe can use it\n";
        else
            out << "  " << in.openFailure << "\n";
        if (!in.systemMessage.empty())
            out << "  system message: " << in.systemMessage << "\n";
        if (!in.fix.empty())
            out << "  fix: " << in.fix << "\n";
    }

    const RegistryCheck& reg = report.registry;
    out << "\nRegistry store\n  " << reg.path;
    if (!reg.origin.empty())
        out << " (" << reg.origin << ")";
    out << ": " << reg.state << "\n";
    if (!reg.keyProblem.empty())
        out << "  " << reg.keyProblem << "\n";
    else if (reg.switches.empty() && reg.key.empty())
        out << "  no debug-log switches: every debug log is off\n";
    else if (reg.switches.empty())
        out << "  no debug-log switches in HKEY_LOCAL_MACHINE\\" << reg.key
            << " or below: every debug log there is off\n";
    for (const DebugLogSwitch& s : reg.switches) {
        out << "  " << s.key << ": debug log " << (s.bOn ? "on" : "off");
        if (!s.file.empty())
            out << ", file " << s.file;
        out << "\n";
        if (!s.problem.empty())
            out << "    but: " << s.problem << "\n";
    }
    out << "  keyprobe itself names no registry key: it never writes a debug log\n";
    if (!reg.debugOutput.empty())
        out << "  debugger output (IOCLASSLIB_DEBUG_OUTPUT): " << reg.debugOutput << "\n";
}

void WriteJson(const Report& report, std::ostream& out) {
    out << "{\n  \"user\": " << JsonString(report.user);
    if (!report.groups.empty())
        out << ",\n  \"groups\": " << List(report.groups);
    out << ",\n  \"devices\": [";
    for (size_t i = 0; i < report.devices.size(); ++i) {
        const Device& d = report.devices[i];
        out << (i ? "," : "") << "\n    {\"kind\": " << JsonString(d.kind)
            << ", \"path\": " << JsonString(d.path) << ", \"aliases\": " << List(d.aliases);
        if (d.nVendorId >= 0)
            out << ", \"vendor_id\": " << JsonString(UsbId(d).substr(0, 4))
                << ", \"product_id\": " << JsonString(UsbId(d).substr(5));
        out << ", \"terminal\": " << Bool(d.bTerminal) << ", \"description\": " << JsonString(d.description)
            << ", \"can_open\": " << Bool(d.access.bCanOpen)
            << ", \"reason\": " << JsonString(d.access.reason) << ", \"fix\": " << JsonString(d.access.fix)
            << ", \"unusable\": " << JsonString(d.unusable);
        if (d.nInputReportLength >= 0)
            out << ", \"input_report_length\": " << d.nInputReportLength
                << ", \"output_report_length\": " << d.nOutputReportLength;
        out << "}";
    }
    out << "\n  ],\n  \"not_listed\": [";
    for (size_t i = 0; i < report.unlisted.size(); ++i)
        out << (i ? ", " : "") << "{\"kind\": " << JsonString(report.unlisted[i].kind)
            << ", \"problem\": " << JsonString(report.unlisted[i].problem) << "}";
    const InputFileCheck& in = report.input;
    out << "],\n  \"input_file\": ";
    if (!in.bGiven) {
        out << "null";
    } else {
        out << "{\n    \"path\": " << JsonString(in.path)
            << ",\n    \"file_problem\": " << JsonString(in.fileProblem)
            << ",\n    \"keys_read\": " << List(in.keysRead) << ",\n    \"notes\": " << List(in.notes)
            << ",\n    \"connection\": " << JsonString(in.connection)
            << ",\n    \"device\": " << JsonString(in.device) << ",\n    \"can_open\": " << Bool(in.bOpened)
            << ",\n    \"open_failure\": " << JsonString(in.openFailure);
        if (!in.systemMessage.empty())
            out << ",\n    \"system_message\": " << JsonString(in.systemMessage);
        out << ",\n    \"fix\": " << JsonString(in.fix) << "\n  }";
    }
    const RegistryCheck& reg = report.registry;
    out << ",\n  \"registry\": {\n    \"path\": " << JsonString(reg.path)
        << ",\n    \"from_environment\": " << Bool(reg.bFromEnvironment)
        << ",\n    \"state\": " << JsonString(reg.state);
    if (!reg.key.empty())
        out << ",\n    \"key\": " << JsonString(reg.key);
    if (!reg.keyProblem.empty())
        out << ",\n    \"key_problem\": " << JsonString(reg.keyProblem);
    out << ",\n    \"debug_log_switches\": [";
    for (size_t i = 0; i < reg.switches.size(); ++i) {
        const DebugLogSwitch& s = reg.switches[i];
        out << (i ? ", " : "") << "\n      {\"key\": " << JsonString(s.key) << ", \"on\": " << Bool(s.bOn)
            << ", \"file\": " << JsonString(s.file) << ", \"problem\": " << JsonString(s.problem) << "}";
    }
    out << "]";
    if (!reg.debugOutput.empty())
        out << ",\n    \"debug_output\": " << JsonString(reg.debugOutput);
    out << "\n  }\n}\n";
}

}  // namespace keyprobecheck
