// keyprobe-check: where the terminal could be, whether this user can open it, and what
// keyprobe would open for an INI file, without sending a byte.
#include <afx.h>
#include <afxwin.h>
#include <windows.h>

#include <string.h>

#include <iostream>

#include "CheckReport.h"
#include "Checks.h"
#include "HostDevices.h"
#include "KeyReport.h"

namespace {

const char kUsage[] =
    "Usage: keyprobe-check [--json] [--debug-key KEY] [inputfile]\n"
    "       keyprobe-check --keys [--json] inputfile\n"
    "       keyprobe-check --udev-rules [inputfile]\n"
    "Lists serial ports, USB HID and USB devices that could be the terminal and whether this\n"
    "user can open them; with an INI file, says what keyprobe would open and opens it (nothing\n"
    "is sent). Exit code 0 when the INI file's device opens (or no file is given), 1 when not.\n"
    "--debug-key lists the debug-log switches of the registry key KEY (below\n"
    "HKEY_LOCAL_MACHINE) and of the keys below it, in place of every switch of the store.\n"
    "--keys runs keyprobe's key check and shows for each slot the terminal's statuses, its\n"
    "error texts and the time taken. Exit code 0 after a completed run, 1 when the port does\n"
    "not open or takes no command.\n"
    "--udev-rules (Linux) prints udev rules for the terminal's USB IDs: the INI file's\n"
    "UsbDeviceIds when it has them, else the built-in table.\n"
    "Wrong arguments: exit code 2.\n";

}  // namespace

int main(int argc, char* argv[]) {
    bool bJson = false;
    bool bKeys = false;
    bool bUdevRules = false;
    const char* pszIni = NULL;
    const char* pszDebugKey = NULL;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--json") == 0) {
            bJson = true;
        } else if (strcmp(argv[i], "--debug-key") == 0 && i + 1 < argc) {
            pszDebugKey = argv[++i];
        } else if (strcmp(argv[i], "--keys") == 0) {
            bKeys = true;
        } else if (strcmp(argv[i], "--udev-rules") == 0) {
            bUdevRules = true;
        } else if (strcmp(argv[i], "--help") == 0) {
            std::cout << kUsage;
            return 0;
        } else if (argv[i][0] == '-' || pszIni != NULL) {
            std::cerr << kUsage;
            return 2;
        } else {
            pszIni = argv[i];
        }
    }
    if ((bKeys && (pszIni == NULL || pszDebugKey != NULL)) ||
        (bUdevRules && (bJson || bKeys || pszDebugKey))) {
        std::cerr << kUsage;
        return 2;
    }
    if (!AfxWinInit(::GetModuleHandleA(NULL), NULL, ::GetCommandLineA(), 0)) {
        std::cerr << "keyprobe-check: the framework did not start\n";
        return 2;
    }
    if (bUdevRules)
        return keyprobecheck::WriteUdevRules(pszIni, std::cout, std::cerr);
    if (bKeys)
        return keyprobecheck::RunKeyReport(pszIni, bJson, std::cout, std::cerr);

    keyprobecheck::Report report;
    report.user = keyprobecheck::CurrentUser();
    report.groups = keyprobecheck::CurrentGroups();
    if (pszIni != NULL)
        keyprobecheck::CheckInputFile(pszIni, report.input);

    std::vector<std::string> extra;
    if (!report.input.device.empty())
        extra.push_back(report.input.device);
    report.devices = keyprobecheck::ListSerialPorts(extra);
    keyprobecheck::ListUsbDevices(report.devices, report.unlisted);
    keyprobecheck::CheckRegistry(pszDebugKey, report.registry);

    if (bJson)
        keyprobecheck::WriteJson(report, std::cout);
    else
        keyprobecheck::WriteText(report, std::cout);
    return pszIni == NULL || report.input.bOpened ? 0 : 1;
}
