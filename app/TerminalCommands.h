// Commands of the terminal's interface application, sent over the program-wide
// terminal link with VLI framing.
#pragma once

#include <windows.h>

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

// Sends one command and always goes on to read its reply.
signed char SendTerminalCommand(BYTE byCommand, const BYTE* pData, WORD wDataLength, BYTE* pReplyData,
                                BYTE* pbyReplyLength);
signed char ReadTerminalReply(BYTE* pReplyData, BYTE* pbyReplyLength);
// nKind non-zero: master/session slot (command 'a'); zero: DUKPT slot (command 'b').
signed char SendKeyTestRequest(int nKind, BYTE bySlot, const char* pszAccount, const char* pszPrompt,
                               const char* pszTrailer);
signed char FetchTerminalReply(BYTE* pReplyData, BYTE* pbyReplyLength);
