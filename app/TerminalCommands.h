// Commands of the terminal's interface application, sent over the program-wide
// terminal link with VLI framing.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Status values shared by the whole run: the signed status byte of a reply, or one of these.
// The failed connection set-up, -31, is CONNECT_FAILED of Connection.h.
enum : signed char {
    STATUS_OK = 0,
    STATUS_KEY_ABSENT_F8 = -8,
    STATUS_KEY_ABSENT_F1 = -15,
    STATUS_NO_REPLY = -32,
};

// Room a caller's reply buffer must have: the reported length is one byte (at most 255),
// and a reply of type 'q' copies one byte more than it reports.
enum { TERMINAL_REPLY_BUFFER_SIZE = 256 };

// What the latest SendTerminalCommand (or ReadTerminalReply) gave besides its status byte,
// which cannot tell a missing reply from a terminal that answered 0xE0.
struct TerminalExchange {
    BOOL bSent;      // some of the command's frame went out
    BOOL bAnswered;  // a usable reply came
    // The port's error once a command went out or a reply came in vain; 0 when it gave none
    // (or after a good exchange, where some ports leave a stale code).
    DWORD dwPortError;
    // The descriptions the terminal gave in the 0x81 queries that the reply's error status
    // brought, zero bytes included; a query answered without one adds nothing.
    std::vector<std::string> terminalTexts;
};
const TerminalExchange& LastTerminalExchange();

// Sends one command and goes on to read its reply, also when nothing could be sent, unless
// the link has never put a byte on its port: a device that takes no writes would only make
// the read wait out its time-out.
signed char SendTerminalCommand(BYTE byCommand, const BYTE* pData, WORD wDataLength, BYTE* pReplyData,
                                BYTE* pbyReplyLength);
signed char ReadTerminalReply(BYTE* pReplyData, BYTE* pbyReplyLength);
// nKind non-zero: master/session slot (command 'a'); zero: DUKPT slot (command 'b').
signed char SendKeyTestRequest(int nKind, BYTE bySlot, const char* pszAccount, const char* pszPrompt,
                               const char* pszTrailer);
signed char FetchTerminalReply(BYTE* pReplyData, BYTE* pbyReplyLength);
