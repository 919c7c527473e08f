// What the Wine suite's test files share: the Windows builds they run, whether this
// machine can run a build, and the suite's Wine prefixes, made on first use (a prefix
// takes seconds and most of a gigabyte) and stopped when the test program ends.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <ostream>
#include <string>
#include <vector>

#include "ProcessRunner.h"
#include "WinePrefix.h"

namespace winesuite {

struct WindowsBuild {
    const char* arch;
    const char* buildDir;  // the mingw preset's build folder
    bool b32Bit;
};

inline void PrintTo(const WindowsBuild& build, std::ostream* os) { *os << build.arch; }

inline const WindowsBuild kBuilds[] = {
    {"x86_64", KEYPROBE_MINGW_X86_64_DIR, false},
    {"i686", KEYPROBE_MINGW_I686_DIR, true},
};

inline std::string BuildName(const ::testing::TestParamInfo<WindowsBuild>& info) { return info.param.arch; }

// Why this machine cannot run 32-bit Windows programs, or "" when it can.
inline std::string Why32BitCannotRun() {
    const testsupport::RunResult probe =
        testsupport::runProcess({"/bin/sh", KEYPROBE_SOURCE_DIR "/scripts/can-run-32bit"});
    if (probe.exitCode != 0)
        return "this kernel cannot run 32-bit programs";
    if (access(WINE32_LOADER, X_OK) != 0)
        return "32-bit Wine is not installed (" WINE32_LOADER "; scripts/setup installs it)";
    return "";
}

// Why a build's programs cannot run here, or "" when they can: a 32-bit build on a
// machine without 32-bit support, or a program the build has not made.
inline std::string WhyCannotRun(const WindowsBuild& build, const std::vector<std::string>& programs) {
    if (build.b32Bit) {
        const std::string why = Why32BitCannotRun();
        if (!why.empty())
            return why;
    }
    for (const std::string& program : programs)
        if (access(program.c_str(), F_OK) != 0)
            return program + " is not built (cmake --build --preset mingw-" + build.arch + ")";
    return "";
}

// The prefix of the key check's tests.
inline testsupport::WinePrefix& Prefix() {
    static testsupport::WinePrefix prefix(WINE64_BIN, WINESERVER_BIN);
    return prefix;
}

// The prefix of the tests over Wine's HID stack. Its winebus serves hidraw devices, so
// only sessions inside umockdev-run may use it: anywhere else it would open the machine's
// own devices.
inline testsupport::WinePrefix& HidPrefix() {
    static testsupport::WinePrefix prefix(WINE64_BIN, WINESERVER_BIN);
    return prefix;
}

class StopWine : public ::testing::Environment {
public:
    void TearDown() override {
        Prefix().stop();
        HidPrefix().stop();
    }
};
inline const ::testing::Environment* const g_stopWine = ::testing::AddGlobalTestEnvironment(new StopWine);

}  // namespace winesuite
