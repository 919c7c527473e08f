// The Windows keyprobe.exe over "USB Device" under Wine's own HID stack: SetupAPI, hid.dll
// and overlapped ReadFile/WriteFile of the real API, through Wine's hidclass and winebus
// down to a hidraw terminal that umockdev emulates. In the same session keyprobe-check.exe
// lists that terminal and opens it, and runs the key check again for its key report.
//
// The terminal plays a key check recorded from termsim: the native keyprobe first runs the
// scenario against termsim's virtual HID terminal, and every report of that run becomes a
// line of umockdev's script, once for keyprobe.exe and once for keyprobe-check.exe --keys.
// umockdev compares each output report a Windows program writes with the recorded one,
// byte for byte (a mismatch ends it with an error), and answers with the recorded input
// reports.
#include <gtest/gtest.h>
#include <linux/hidraw.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "KeyCheckExpectation.h"
#include "ProcessRunner.h"
#include "TermsimProcess.h"
#include "WineSuite.h"

namespace {

using testsupport::ByteVec;
using testsupport::KeyprobeRun;
using testsupport::TempDir;
using testsupport::WindowsPath;
using testsupport::WithoutCr;
using winesuite::WindowsBuild;

const int kRunTimeoutMs = 150000;
const char kDeviceNode[] = "/dev/hidraw0";
const char kDeviceDescription[] = KEYPROBE_TEST_DATA_DIR "/umockdev/hidraw_terminal.umockdev";

// The session inside umockdev-run holds the device node open from its start, so that the
// script runner never sees it closed (it would start the script again), and once the
// program and Wine have ended it writes a line of its own to the node. umockdev takes it
// only where the script has it, after the last recorded report: any report the program
// left out or wrote differently ends umockdev with a mismatch first.
const char kSessionEnd[] = "session end";
const char kScriptEnd[] = "script played to its end";
const std::string kHoldTheNode = std::string("exec 3<>") + kDeviceNode + "; \"$@\"; rc=$?; printf '" +
                                 kSessionEnd +
                                 "\\n' >&3 && read -r answer <&3 && echo \"device: $answer\"; exit $rc";

// umockdev's script notation of a block: a byte below 32 as "^" and the byte plus 64, "^"
// itself as "^`", everything else as it is.
std::string ScriptData(const ByteVec& bytes) {
    std::string text;
    for (std::uint8_t b : bytes) {
        if (b < 32) {
            text += '^';
            text += static_cast<char>(b + 64);
        } else if (b == '^') {
            text += "^`";
        } else {
            text += static_cast<char>(b);
        }
    }
    return text;
}

// The terminal's side of a recorded HID session as an umockdev script, played `runs` times
// over: each output report termsim received is one the program must write ("w"), each
// input report termsim sent one the device node gives ("r"). The node is a
// pseudo-terminal, which would join input reports written back to back into one read, so
// each reply must fit one report.
bool UmockdevScript(const testsupport::TermsimTranscript& t, int runs, std::string& script,
                    std::string& error) {
    std::ostringstream out;
    std::string last;
    int reports = 0;
    for (const testsupport::TranscriptEntry& e : t.entries()) {
        if (e.tag != "RXR" && e.tag != "TXR")
            continue;
        if (e.tag == "TXR" && last == "TXR") {
            error = "a reply of more than one input report: " + e.text;
            return false;
        }
        out << (e.tag == "RXR" ? "w" : "r") << " 0 " << ScriptData(e.bytes) << "\n";
        last = e.tag;
        ++reports;
    }
    if (reports == 0)
        error = "the recording holds no report";
    std::string played;
    for (int i = 0; i < runs; ++i)
        played += out.str();
    script = played + "w 0 " + kSessionEnd + "^J\nr 0 " + kScriptEnd + "^J\n";
    return reports > 0;
}

std::string Hex(const void* data, std::size_t size) {
    std::string text;
    char digits[3];
    for (std::size_t i = 0; i < size; ++i) {
        std::snprintf(digits, sizeof digits, "%02X", static_cast<const std::uint8_t*>(data)[i]);
        text += digits;
    }
    return text;
}

// What winebus asks the device node with ioctls, answered from the device's description:
// the report descriptor (its size, then the kernel's whole descriptor record) and the bus
// with the IDs.
bool UmockdevIoctls(const std::string& description, std::string& ioctls) {
    std::istringstream lines(description);
    std::string line, descriptorHex;
    unsigned bus = 0, vendor = 0, product = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("H: report_descriptor=", 0) == 0)
            descriptorHex = line.substr(line.find('=') + 1);
        std::sscanf(line.c_str(), "E: HID_ID=%x:%x:%x", &bus, &vendor, &product);
    }
    std::string spaced;  // the blanks between bytes that hexToBytes reads
    for (std::size_t i = 0; i < descriptorHex.size(); i += 2)
        spaced += descriptorHex.substr(i, 2) + " ";
    bool ok = false;
    const ByteVec descriptor = testsupport::hexToBytes(spaced, &ok);
    if (!ok || descriptor.empty() || descriptor.size() > HID_MAX_DESCRIPTOR_SIZE || vendor == 0)
        return false;
    hidraw_report_descriptor record{};
    record.size = static_cast<__u32>(descriptor.size());
    std::memcpy(record.value, descriptor.data(), descriptor.size());
    hidraw_devinfo info{};
    info.bustype = bus;
    info.vendor = static_cast<__s16>(vendor);
    info.product = static_cast<__s16>(product);
    ioctls = std::string("@DEV ") + kDeviceNode + "\n" + "HIDIOCGRDESCSIZE 0 " +
             Hex(&record.size, sizeof record.size) + "\nHIDIOCGRDESC 0 " + Hex(&record, sizeof record) +
             "\nHIDIOCGRAWINFO 0 " + Hex(&info, sizeof info) + "\n";
    return true;
}

// The lines of text that hold needle, or (keep false) those that do not.
std::string LinesWith(const std::string& text, const std::string& needle, bool keep = true) {
    std::istringstream lines(text);
    std::string line, kept;
    while (std::getline(lines, line))
        if ((line.find(needle) != std::string::npos) == keep)
            kept += line + "\n";
    return kept;
}

// winebus starts its hidraw bus only with its SDL bus switched off, and reads the switch
// when it starts: the session that made the prefix and set the switch is ended.
bool PrepareHidPrefix() {
    testsupport::WinePrefix& prefix = winesuite::HidPrefix();
    static const bool prepared =
        prefix.ready() &&
        prefix.setValue("System\\CurrentControlSet\\Services\\winebus", "Enable SDL", "REG_DWORD", "0") &&
        prefix.stopServer();
    return prepared;
}

class WineHidKeyCheck : public ::testing::TestWithParam<WindowsBuild> {};

TEST_P(WineHidKeyCheck, MixedKeyStatesAndErrorStatusesEveryReportChecked) {
    const WindowsBuild& build = GetParam();
    const std::string keyprobe = std::string(build.buildDir) + "/app/keyprobe.exe";
    const std::string keyprobeCheck =
        std::string(build.buildDir) + "/tools/keyprobe-check/keyprobe-check.exe";
    std::string why = winesuite::WhyCannotRun(build, {keyprobe, keyprobeCheck});
    if (why.empty() && access(UMOCKDEV_RUN_BIN, X_OK) != 0)
        why = "umockdev-run is not installed (scripts/setup installs it)";
    if (!why.empty())
        GTEST_SKIP() << "the " << build.arch << " run was skipped: " << why;
    TempDir dir("kp-wine-hid");
    ASSERT_FALSE(dir.path().empty());
    const std::string ini = dir.file("terminal.ini");
    ASSERT_TRUE(testsupport::writeIniFile(ini, {{"Connection", {{"ConnectType", "USB Device"}}}}));
    const std::string otherIds = dir.file("other-ids.ini");
    ASSERT_TRUE(testsupport::writeIniFile(
        otherIds, {{"Connection", {{"ConnectType", "USB Device"}, {"UsbDeviceIds", "0ABC:0010"}}}}));

    std::vector<std::string> simArgs{"--transport", "hid"};
    for (const std::string& arg : testsupport::MixedKeyStatesArguments())
        simArgs.push_back(arg);
    testsupport::TermsimProcess sim(simArgs);
    ASSERT_TRUE(sim.ready()) << sim.error();
    testsupport::RunOptions nativeOptions;
    nativeOptions.timeoutMs = kRunTimeoutMs;
    nativeOptions.setEnv["IOCLASSLIB_VIRTUAL_HID"] = sim.hidSocket();
    const KeyprobeRun recorded =
        testsupport::RunKeyprobeOn(ini, dir.file("recorded-keys.txt"), nativeOptions);
    ASSERT_NO_FATAL_FAILURE(testsupport::ExpectCompletedRun(recorded));
    const testsupport::TermsimTranscript t = sim.transcript();

    std::string script, ioctls, error;
    ASSERT_TRUE(UmockdevScript(t, 2, script, error)) << error;
    ASSERT_TRUE(UmockdevIoctls(testsupport::readTextFile(kDeviceDescription), ioctls)) << kDeviceDescription;
    ASSERT_TRUE(testsupport::writeTextFile(dir.file("terminal.script"), script));
    ASSERT_TRUE(testsupport::writeTextFile(dir.file("terminal.ioctl"), ioctls));

    testsupport::WinePrefix& prefix = winesuite::HidPrefix();
    ASSERT_TRUE(PrepareHidPrefix()) << prefix.error();
    KeyprobeRun run;
    run.ini = WindowsPath(ini);
    testsupport::RunResult umockdev;
    std::vector<testsupport::RunResult> results =
        prefix.runSession({UMOCKDEV_RUN_BIN, "-d", kDeviceDescription, "-i",
                           std::string(kDeviceNode) + "=" + dir.file("terminal.ioctl"), "-s",
                           std::string(kDeviceNode) + "=" + dir.file("terminal.script"), "--", "/bin/sh",
                           "-c", kHoldTheNode, "sh"},
                          {{WindowsPath(keyprobeCheck), "--json", WindowsPath(otherIds)},
                           {WindowsPath(keyprobeCheck), run.ini},
                           {WindowsPath(keyprobe), run.ini, WindowsPath(dir.file("keys.txt"))},
                           {WindowsPath(keyprobeCheck), "--keys", "--json", run.ini}},
                          kRunTimeoutMs, &umockdev);
    // A 32-bit Wine process cannot load umockdev's 64-bit library, which the session's
    // environment names; the loader says so and goes on. The device host that reads the
    // emulated node is a 64-bit process.
    for (testsupport::RunResult& result : results)
        result.err = LinesWith(result.err, "from LD_PRELOAD cannot be preloaded", false);

    EXPECT_FALSE(umockdev.timedOut);
    EXPECT_EQ(0, umockdev.signal) << LinesWith(umockdev.err, "**");
    EXPECT_EQ(std::string("device: ") + kScriptEnd + "\n", umockdev.out) << umockdev.err;

    // UsbDeviceIds naming another device: the terminal is one HID device among others.
    const std::string others = WithoutCr(results[0].out);
    EXPECT_EQ(1, results[0].exitCode) << results[0].err;
    EXPECT_TRUE(std::regex_search(
        others, std::regex(R"(\{"kind": "hid", "path": "\\\\\\\\\?\\\\hid#vid_1209&pid_0001[^"]*", )"
                           R"("aliases": \[\], "vendor_id": "1209", "product_id": "0001", )"
                           R"("terminal": false, [^}]*"can_open": true, [^}]*)"
                           R"("input_report_length": 65, "output_report_length": 65\})")))
        << others;
    EXPECT_NE(std::string::npos, others.find("no USB HID device with the terminal's IDs is attached"))
        << others;

    // The terminal as the device check sees it, opened without a report sent.
    const std::string listing = WithoutCr(results[1].out);
    EXPECT_EQ(0, results[1].exitCode) << results[1].err;
    EXPECT_TRUE(
        std::regex_search(listing, std::regex(R"(\n  \\\\\?\\hid#vid_1209&pid_0001[^ ]*  \(1209:0001, )"
                                              R"([^)]*reports 65 bytes in, 65 out\)  \[terminal\]\n)"
                                              R"(    this user can open it\n)")))
        << listing;
    EXPECT_NE(std::string::npos,
              listing.find("\n  opened and closed again, nothing sent: keyprobe can use it\n"))
        << listing;

    run.result = results[2];
    run.resultText = testsupport::readTextFile(dir.file("keys.txt"), &run.resultExists);
    EXPECT_EQ(0, run.result.exitCode) << run.result.err;
    EXPECT_EQ(testsupport::Crlf(testsupport::CompletedConsole(run.ini)), run.result.out);
    testsupport::ExpectMixedKeyStatesRun(run, t);

    // The key report of the same dialogue: every slot in run order.
    const std::string keys = WithoutCr(results[3].out);
    EXPECT_EQ(0, results[3].exitCode) << results[3].err;
    std::size_t at = 0;
    for (const testsupport::KeyReportRow& row :
         testsupport::ExpectedKeyReportRows(testsupport::MixedKeyStatesExpectation())) {
        at = keys.find("\n    " + row.json, at);
        if (at == std::string::npos) {
            ADD_FAILURE() << row.json << "\nin\n" << keys;
            break;
        }
    }
    EXPECT_NE(std::string::npos, keys.find("\n  \"answered\": 20,\n")) << keys;
}

INSTANTIATE_TEST_SUITE_P(WineHid, WineHidKeyCheck, ::testing::ValuesIn(winesuite::kBuilds),
                         winesuite::BuildName);

}  // namespace
