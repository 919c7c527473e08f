#include "TerminalCommands.h"

#include <afx.h>
#include <string.h>

#include "Connection.h"
#include "TerminalLink.h"

namespace {

const BYTE kCommandFetch = 0x16;
const BYTE kCommandMasterSessionTest = 'a';
const BYTE kCommandDukptTest = 'b';
const BYTE kSubCodeMasterSession = ' ';
const BYTE kSubCodeDukpt = 'p';
const BYTE kReplyTypeQ = 0x71;
const BYTE kPromptEnd = 0xFF;
const size_t kAccountOffset = 2;
const size_t kAccountFieldLength = 12;
const size_t kPromptOffset = kAccountOffset + kAccountFieldLength;
const size_t kTrailerLength = 8;
const char kDefaultTrailer[] = "00000000";
// Whatever else the request holds, its data length must fit the frame's length byte.
const size_t kMaxPromptLength = 232;
const size_t kRequestBufferSize = 256;
// The most a one-byte reply length can report.
const int kMaxReplyDataLength = 255;

}  // namespace

signed char SendTerminalCommand(BYTE byCommand, const BYTE* pData, WORD wDataLength, BYTE* pReplyData,
                                BYTE* pbyReplyLength) {
    CString csTrace;
    // Even a command that could not be sent is followed by the attempt to read its reply.
    if (g_pTerminalLink != NULL)
        g_pTerminalLink->SendPacket(byCommand, pData, wDataLength, csTrace);
    return ReadTerminalReply(pReplyData, pbyReplyLength);
}

signed char ReadTerminalReply(BYTE* pReplyData, BYTE* pbyReplyLength) {
    CString csReply;
    CString csTrace;
    if (g_pTerminalLink != NULL)
        g_pTerminalLink->ReceivePacket(csReply, csTrace);

    const int nLength = csReply.GetLength();
    const BYTE* pReply = (const BYTE*)(LPCSTR)csReply;
    if (nLength < 4 || nLength < (int)pReply[1])
        return STATUS_NO_REPLY;

    const signed char status = (signed char)pReply[3];
    // A long-form reply can hold more data than the length byte can report; the copy
    // stops where the report does, so a buffer of TERMINAL_REPLY_BUFFER_SIZE bytes is
    // never overrun.
    int n = nLength - 5 > 0 ? nLength - 5 : 0;
    if (n > kMaxReplyDataLength)
        n = kMaxReplyDataLength;
    if (pReplyData != NULL) {
        if (pReply[2] == kReplyTypeQ)
            memcpy(pReplyData, pReply + 3, (size_t)n + 1);
        else
            memcpy(pReplyData, pReply + 4, (size_t)n);
    }
    if (pbyReplyLength != NULL)
        *pbyReplyLength = (BYTE)n;
    return status;
}

signed char SendKeyTestRequest(int nKind, BYTE bySlot, const char* pszAccount, const char* pszPrompt,
                               const char* pszTrailer) {
    BYTE abyRequest[kRequestBufferSize];
    memset(abyRequest, 0, sizeof(abyRequest));

    const BYTE byCommand = nKind != 0 ? kCommandMasterSessionTest : kCommandDukptTest;
    abyRequest[0] = nKind != 0 ? kSubCodeMasterSession : kSubCodeDukpt;
    abyRequest[1] = bySlot;
    // The account field keeps the zero padding beyond the text.
    if (pszAccount != NULL)
        memcpy(abyRequest + kAccountOffset, pszAccount, strnlen(pszAccount, kAccountFieldLength));
    size_t nPrompt = 0;
    if (pszPrompt != NULL) {
        nPrompt = strnlen(pszPrompt, kMaxPromptLength);
        memcpy(abyRequest + kPromptOffset, pszPrompt, nPrompt);
    }
    abyRequest[kPromptOffset + nPrompt] = kPromptEnd;
    const size_t nTrailerOffset = kPromptOffset + nPrompt + 1;
    const char* pszField =
        pszTrailer != NULL && strlen(pszTrailer) == kTrailerLength ? pszTrailer : kDefaultTrailer;
    memcpy(abyRequest + nTrailerOffset, pszField, kTrailerLength);

    return SendTerminalCommand(byCommand, abyRequest, (WORD)(nTrailerOffset + kTrailerLength), NULL, NULL);
}

signed char FetchTerminalReply(BYTE* pReplyData, BYTE* pbyReplyLength) {
    return SendTerminalCommand(kCommandFetch, NULL, 0, pReplyData, pbyReplyLength);
}
