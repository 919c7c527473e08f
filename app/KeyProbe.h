// The key check run: command line, result file, console progress and the twenty
// key-slot tests over the terminal link that the connection set-up opens.
#pragma once

#include <afx.h>
#include <afxwin.h>
#include <windows.h>

#include <ostream>

#include "KeySlotReport.h"

struct TerminalExchange;

// The program's application object; it has no behaviour of its own.
extern CWinApp KeyProbeApp;

// The two paths of the command line, set by ParseArguments.
extern CString g_csInputPath;
extern CString g_csDestinationPath;

// Exit code flags.
enum {
    KEYPROBE_EXIT_OK = 0,
    // Bit 0: key status information from the terminal is not available.
    KEYPROBE_EXIT_NO_KEY_STATUS = 0x01,
};

// Kinds of key-test request, as SendKeyTestRequest takes them.
enum { KEYPROBE_KIND_DUKPT = 0, KEYPROBE_KIND_MASTER_SESSION = 1 };

// Everything the run calls beyond itself. KeyProbeDefaultServices() holds the real
// framework start-up, connection set-up, terminal commands and pause; a test may run
// the same steps against stand-ins.
struct KeyProbeServices {
    BOOL (*pfnInitFramework)();
    signed char (*pfnConnectTerminal)();
    signed char (*pfnSendKeyTestRequest)(int nKind, BYTE bySlot, const char* pszAccount,
                                         const char* pszPrompt, const char* pszTrailer);
    signed char (*pfnFetchTerminalReply)(BYTE* pReplyData, BYTE* pbyReplyLength);
    signed char (*pfnSendTerminalCommand)(BYTE byCommand, const BYTE* pData, WORD wDataLength,
                                          BYTE* pReplyData, BYTE* pbyReplyLength);
    void (*pfnPause)(DWORD dwMilliseconds);
    // What the latest of the three commands above gave besides its status byte.
    const TerminalExchange& (*pfnLastExchange)();
};
const KeyProbeServices& KeyProbeDefaultServices();

// Writes the usage text to out.
void PrintUsage(std::ostream& out);
// TRUE for exactly two arguments (argc 3), which it stores as the input and destination
// paths; otherwise prints the usage text to out and returns false.
bool ParseArguments(int argc, char* argv[], std::ostream& out);

// The twenty slot dialogues over the link that the set-up opened, in the run's order, with
// its pauses: each slot's line goes to pResultFile and its report to pObserver, the two
// group headings to pProgress (each may be NULL). A device that takes none of the first
// slot's commands stops it there, before that slot's line: every later read would only
// wait out its time-out. It then returns FALSE with the port's error in *pdwWriteError.
BOOL CheckKeySlots(const KeyProbeServices& services, std::ostream* pProgress, CFile* pResultFile,
                   KeySlotObserver* pObserver, DWORD* pdwWriteError);

// The whole run; returns the exit code. out and err stand for standard output and error.
int RunKeyProbe(int argc, char* argv[], std::ostream& out, std::ostream& err,
                const KeyProbeServices& services);
int RunKeyProbe(int argc, char* argv[], std::ostream& out, std::ostream& err);
