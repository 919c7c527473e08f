// Windows share modes between every handle of every process that opens a file.
//
// Linux has no mandatory share modes, so each open handle publishes its access and its
// refusals as shared open-file-description locks on single bytes far beyond any real data
// (these locks are advisory and never touch the data): one byte per access it has (read,
// write, delete) and one per access it refuses to others. An open conflicts when it wants an
// access someone refuses, or refuses an access someone has; a whole-file flock, the gate,
// makes check and publish one step across processes. The locks live as long as the
// descriptor that holds them.
#pragma once

#include <windows.h>

namespace win32 {

enum ShareAccess : DWORD {
    kShareAccessRead = 1,
    kShareAccessWrite = 2,
    kShareAccessDelete = 4,
};

// The read/write/delete access that a CreateFileA access mask asks for.
DWORD ShareAccessOf(DWORD dwDesiredAccess);

const int kShareRefused = -1;
const int kNoShareDescriptor = -2;

// Checks the open of `fd` with `dwAccess` (ShareAccess bits) and the caller's
// FILE_SHARE_* mode against every other open, and publishes it on a descriptor of its own
// (shared byte locks need a readable one), which the caller keeps open as long as `fd` and
// closes with it. kShareRefused with ERROR_SHARING_VIOLATION on a conflict;
// kNoShareDescriptor when the open takes no part: no data access, a file system without
// locks, or a file we may not read.
int AcquireShareMode(int fd, DWORD dwAccess, DWORD dwShareMode);

// For rename and delete: holds the gate of the file open as `fd` while the caller works,
// and says whether an open handle refuses delete access.
class ShareGate {
public:
    explicit ShareGate(int fd);
    ~ShareGate();
    ShareGate(const ShareGate&) = delete;
    ShareGate& operator=(const ShareGate&) = delete;
    bool DeleteRefused() const;

private:
    int m_fd;
    bool m_bLocked;
};

}  // namespace win32
