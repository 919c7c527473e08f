// Test helper: what keyprobe prints and writes, as a caller sees it, written out here
// independently of the program's own strings so that a changed character shows.
#pragma once

#include <string>
#include <vector>

namespace testsupport {

const char kUsage[] = "\n"
                      "KEYPROBE Version 1.00: Retrieves status of M/S\n"
                      "and DUKPT keys used for debit from a connected Pelsto \n"
                      "terminal running the Orvik Interface Application.\n"
                      "\n"
                      "KEYPROBE inputfile destfile\n"
                      "\n"
                      "  inputfile:     an .ini file containing connection information.\n"
                      "  destfile:      destination file for key statuses obtained from Pelsto.\n"
                      "\n"
                      "The exit code returned by this process is a series of error flags,\n"
                      "where each flag, if set, is interpreted as follows:\n"
                      "\n"
                      "BIT 0: Key status info from the terminal is not available.\n"
                      "       Check all command-line parameters and port settings.\n"
                      "\n";

// The whole result file, and the last console line, of a run that could not connect.
const char kFailureText[] = "FAILURE: Terminal not responding. Check all port settings.";

// Standard output of a run that connected and checked both groups of keys.
inline std::string CompletedConsole(const std::string& ini) {
    return "Reading connection information from " + ini +
           "\nConnecting to Pelsto terminal...\n"
           "Checking status of M/S keys...\nChecking status of DUKPT keys...\n";
}

// Standard output of a run whose set-up failed.
inline std::string FailureConsole(const std::string& ini) {
    return "Reading connection information from " + ini + "\nConnecting to Pelsto terminal...\n" +
           kFailureText + "\n";
}

// The result file of a completed run: ten master/session lines, then ten DUKPT lines.
inline std::string ResultFile(const std::vector<bool>& masterPresent, const std::vector<bool>& dukptPresent) {
    std::string text;
    for (int group = 0; group < 2; ++group) {
        const std::vector<bool>& present = group == 0 ? masterPresent : dukptPresent;
        for (int slot = 0; slot < 10; ++slot)
            text += (group == 0 ? "Master Key " : "DUKPT Key ") + std::to_string(slot) + ": " +
                    (present.at(slot) ? "Key Is Present" : "Key Is Not Present") + "\r\n";
    }
    return text;
}

}  // namespace testsupport
