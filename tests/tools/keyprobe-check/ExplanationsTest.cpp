// What keyprobe says on standard error when it cannot start, and keyprobe-check in its
// report: each cause in its own words, the same in both, never a bare error number.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "ProcessRunner.h"
#include "TempFiles.h"
#include "TermsimProcess.h"

namespace {

using testsupport::RunOptions;
using testsupport::RunResult;

bool Has(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

RunResult RunProgram(const char* pszBinary, const std::vector<std::string>& args, const RunOptions& options) {
    std::vector<std::string> argv{pszBinary};
    argv.insert(argv.end(), args.begin(), args.end());
    return testsupport::runProcess(argv, testsupport::isolatedFromMachine(options));
}

const char kLookedFor[] =
    "1209:0001, 1209:0002, 1209:0003, 1209:0004, 1209:0005, 1209:0006, 1209:0007, 1209:0008";

// A USB terminal that is not there, or not usable, and why, over termsim's virtual devices.
TEST(Explanations, AUsbPortThatFindsNoTerminalSaysWhyInKeyprobeAndKeyprobeCheckAlike) {
    const std::string kUsbioGuid = "{1C2A4E98-FB5F-4727-AF55-45D18E8E4DF9}";
    const struct {
        const char* name;
        bool bHid;
        std::vector<std::string> termsim;  // empty: no server; the setting names `socket`
        const char* socket;                // "": termsim's own; else a file of that name
        const char* iniLine;
        std::string why;
        const char* platform;  // what the platform says of its setting; "" nothing
        bool bKeyprobeStops;   // false: keyprobe opens it (and finds out when it writes)
    } rows[] = {
        {"no HID server",
         true,
         {},
         "missing.sock",
         "",
         std::string("no USB HID device is attached at all (looked for the terminal's IDs ") + kLookedFor +
             ")",
         "missing.sock: there is no such file; its virtual devices are not listed",
         true},
        {"a file where the HID socket should be",
         true,
         {},
         "plain",
         "",
         "no USB HID device is attached at all",
         "plain: it is a regular file, not termsim's socket",
         true},
        {"foreign HID IDs",
         true,
         {"--usb-id", "046d:c077"},
         "",
         "",
         std::string("no USB HID device with the terminal's IDs is attached (looked for ") + kLookedFor +
             "; found 046d:c077)",
         "",
         true},
        {"HID reports of 2 bytes",
         true,
         {"--report-length", "2"},
         "",
         "",
         "a USB HID device with the terminal's IDs (1209:0001) is attached, but keyprobe cannot use it: its "
         "reports "
         "are 2 bytes in and 2 bytes out, and keyprobe's take 3 to 257 bytes",
         "",
         true},
        {"HID reports of 4096 bytes",
         true,
         {"--report-length", "4096"},
         "",
         "",
         "but keyprobe cannot use it: its reports are 4096 bytes in and 4096 bytes out",
         "",
         true},
        {"foreign HID IDs named in UsbDeviceIds",
         true,
         {"--usb-id", "046d:c077"},
         "",
         "UsbDeviceIds=046d:c078",
         "no USB HID device with the terminal's IDs is attached (looked for 046d:c078; found 046d:c077)",
         "",
         true},
        {"HID reports without IDs",
         true,
         {"--unnumbered"},
         "",
         "",
         "but keyprobe cannot use it: its reports carry no report IDs, and keyprobe's output reports carry "
         "ID 2",
         "",
         false},
        {"no HID output report 2",
         true,
         {"--report-ids", "1:5"},
         "",
         "",
         "but keyprobe cannot use it: it has no output report with ID 2, which keyprobe's output reports "
         "carry",
         "",
         false},
        {"no USBIO server",
         false,
         {},
         "plain",
         "",
         "no USB device is attached under the USBIO driver (interface " + kUsbioGuid +
             ") at all (looked for the terminal's IDs " + kLookedFor + ")",
         "plain: it is a regular file, not termsim's socket",
         true},
        {"foreign USBIO IDs",
         false,
         {"--usbio-id", "046d:c077"},
         "",
         "",
         "no USB device with the terminal's IDs is attached under the USBIO driver (interface " + kUsbioGuid +
             ") (looked for " + kLookedFor + "; found 046d:c077)",
         "",
         true},
        {"an old USBIO driver",
         false,
         {"--usbio-driver-version", "0x0130"},
         "",
         "",
         "a USB device with the terminal's IDs (1209:0001) is attached, but keyprobe cannot use it: its "
         "USBIO "
         "driver has another interface version than 0x0141, the one keyprobe works with",
         "",
         true},
        {"another USBIO interface class",
         false,
         {},
         "",
         "UsbioInterfaceGuid={6A5D6C70-1111-4A5E-9A2F-123456789ABC}",
         "a USB device with the terminal's IDs (1209:0001) is attached, but the USBIO driver does not offer "
         "it "
         "under the interface {6A5D6C70-1111-4A5E-9A2F-123456789ABC}",
         "",
         true},
    };
    for (const auto& row : rows) {
        testsupport::TempDir dir("explanations");
        ASSERT_TRUE(testsupport::writeTextFile(dir.file("plain"), "not a socket"));
        const std::string socket = dir.file(*row.socket ? row.socket : "device.sock");
        std::vector<std::string> args = {"--transport", row.bHid ? "hid" : "usbio",
                                         row.bHid ? "--socket" : "--usbio-socket", socket};
        args.insert(args.end(), row.termsim.begin(), row.termsim.end());
        testsupport::TermsimProcess sim;
        if (!*row.socket) {
            ASSERT_TRUE(sim.start(args)) << row.name << ": " << sim.error();
        }
        ASSERT_TRUE(testsupport::writeTextFile(
            dir.file("t.ini"), std::string("[Connection]\nConnectType=") +
                                   (row.bHid ? "USB Device" : "USBIO Device") + "\n" + row.iniLine + "\n"));
        RunOptions options;
        options.setEnv[row.bHid ? "IOCLASSLIB_VIRTUAL_HID" : "IOCLASSLIB_VIRTUAL_USBIO"] = socket;

        const RunResult check = RunProgram(KEYPROBE_CHECK_BIN, {dir.file("t.ini")}, options);
        EXPECT_EQ(1, check.exitCode) << row.name << "\n" << check.out << check.err;
        EXPECT_TRUE(Has(check.out, row.why)) << row.name << "\n" << check.out;
        EXPECT_TRUE(Has(check.err, row.platform)) << row.name << "\n" << check.err;
        if (!row.bKeyprobeStops)
            continue;
        const RunResult run = RunProgram(KEYPROBE_BIN, {dir.file("t.ini"), dir.file("keys.txt")}, options);
        EXPECT_EQ(1, run.exitCode) << row.name << "\n" << run.err;
        EXPECT_TRUE(Has(run.err, "cannot open USB" + std::string(row.bHid ? " Device" : "IO Device")))
            << row.name << "\n"
            << run.err;
        EXPECT_TRUE(Has(run.err, row.why)) << row.name << "\n" << run.err;
        EXPECT_TRUE(Has(run.err, row.platform)) << row.name << "\n" << run.err;
        EXPECT_FALSE(Has(run.err, "error 259")) << row.name << "\n" << run.err;
    }
}

// A result file or INI file that cannot be opened: the real cause, not the error code's
// usual words, and a long quoted line cut.
TEST(Explanations, AFileThatCannotBeOpenedIsNamedForWhatItIs) {
    testsupport::TempDir dir("explanations");
    ASSERT_EQ(0, mkdir(dir.file("folder").c_str(), 0700));
    ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0600));
    ASSERT_TRUE(testsupport::writeTextFile(dir.file("plain"), "x"));
    ASSERT_TRUE(testsupport::writeTextFile(dir.file("ok.ini"), "[Connection]\nPort=COM9\n"));
    ASSERT_TRUE(
        testsupport::writeTextFile(dir.file("huge.ini"), "[Connection]\n" + std::string(70000, 'x') + "\n"));
    const struct {
        std::string ini, result;
        std::string said;
    } rows[] = {
        {dir.file("ok.ini"), dir.file("folder"),
         "Cannot create result file " + dir.file("folder") + ": it is a folder, not a file\n"},
        {dir.file("ok.ini"), dir.file("fifo"),
         "Cannot create result file " + dir.file("fifo") +
             ": it is there but cannot be opened: no plain file, but a FIFO that nobody reads"},
        {dir.file("ok.ini"), dir.file("missing/keys.txt"),
         "Cannot create result file " + dir.file("missing/keys.txt") + ": the folder " + dir.file("missing") +
             " does not exist\n"},
        {dir.file("ok.ini"), dir.file("plain/keys.txt"),
         "Cannot create result file " + dir.file("plain/keys.txt") + ": " + dir.file("plain") +
             " is a file, not a folder\n"},
        {dir.file("folder"), dir.file("keys.txt"),
         "input file " + dir.file("folder") +
             " cannot be read: it is a folder, not a file; using the defaults"},
        {dir.file("missing/t.ini"), dir.file("keys.txt"),
         "input file " + dir.file("missing/t.ini") + " cannot be read: the folder " + dir.file("missing") +
             " does not exist; using the defaults"},
        {dir.file("huge.ini"), dir.file("keys.txt"),
         "is malformed: line \"" + std::string(60, 'x') +
             "...\" (65523 characters) is neither a comment, a [section] nor a key=value line"},
    };
    for (const auto& row : rows) {
        const RunResult run = RunProgram(KEYPROBE_BIN, {row.ini, row.result}, RunOptions());
        EXPECT_EQ(1, run.exitCode) << row.result << "\n" << run.err;
        EXPECT_TRUE(Has(run.err, row.said)) << row.result << "\n" << run.err;
        EXPECT_LT(run.err.size(), 1000u) << row.result << ": a long quote was not cut";
    }
}

}  // namespace
