// keyprobe-check --keys: keyprobe's key check, run by keyprobe's own code, with what the
// terminal said for each slot: a table for a person, one JSON object for a script. Nothing
// here is particular to Linux.
#pragma once

#include <ostream>
#include <string>

namespace keyprobecheck {

// Connects as keyprobe does and runs its key check for the INI file. Exit code: 0 after a
// completed run, 1 when the port does not open (with the device check's explanation on err)
// or takes no write, 2 for a path keyprobe would refuse.
int RunKeyReport(const std::string& iniPath, bool bJson, std::ostream& out, std::ostream& err);

}  // namespace keyprobecheck
