// Checks of the contracts between the request engine and its backends
// (internal/request_engine.h, usbio/backend.h): a request or transfer completed twice,
// completed inside the call that submitted or cancelled it, or cancelled after it completed.
// Each is a bug in a backend or in the engine, never something a caller of the Windows API
// can cause.
//
// Debug and sanitizer builds stop the program at the first broken contract, with a message
// on standard error, so that the test that provoked it fails where the bug is. Release
// builds keep running: the message goes to the debugger output, the offending completion or
// cancel is ignored, and a completion that came inside submit() or cancel() is carried out
// once that call has returned.
#pragma once

#if !defined(NDEBUG) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define WIN32_CONTRACT_CHECKS 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define WIN32_CONTRACT_CHECKS 1
#endif
#endif
#ifndef WIN32_CONTRACT_CHECKS
#define WIN32_CONTRACT_CHECKS 0
#endif

namespace win32 {

const bool kContractChecksStop = WIN32_CONTRACT_CHECKS != 0;

// printf-style; stops the program where kContractChecksStop, else traces and returns.
void ContractBroken(const char* pszFormat, ...) __attribute__((format(printf, 1, 2)));

}  // namespace win32
