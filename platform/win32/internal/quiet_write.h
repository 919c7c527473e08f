// write() for descriptors whose reader may go away (pipes, FIFOs, a redirected stderr):
// the write fails with EPIPE and the process never sees SIGPIPE, which would end it.
// Windows reports a closed pipe to the writer as an error, never by ending the process.
#pragma once

#include <sys/types.h>

namespace win32 {

ssize_t WriteWithoutSigpipe(int fd, const void* pData, size_t cbData);

}  // namespace win32
