#include "HostDevices.h"

namespace keyprobecheck {

int WriteUdevRules(const char*, std::ostream&, std::ostream& err) {
    err << "keyprobe-check: --udev-rules is for Linux only; Windows needs no rules to give a program "
           "the terminal's USB devices\n";
    return 2;
}

}  // namespace keyprobecheck
