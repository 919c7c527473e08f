#include "TerminalCommands.h"

#include <afx.h>
#include <string.h>

#include "Connection.h"
#include "DebugFile.h"
#include "Port.h"
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

TerminalExchange s_lastExchange;

// Keeps the terminal's texts of the 0x81 queries made inside one receive.
class TerminalTextCollector : public CPlatformErrorObserver {
public:
    explicit TerminalTextCollector(std::vector<std::string>& texts) : m_texts(texts) {}
    void OnLastPlatformError(BOOL, unsigned, const CString& csText) override {
        if (!csText.IsEmpty())
            m_texts.push_back(std::string((LPCSTR)csText, (size_t)csText.GetLength()));
    }

private:
    std::vector<std::string>& m_texts;
};

void ReceiveWithTerminalTexts(CString& csReply, std::vector<std::string>& texts) {
    CString csTrace;
    CPort* pPort = g_pTerminalLink->GetPort();
    CDebugFile* pLog = pPort != NULL ? pPort->m_pDebugFile : NULL;
    TerminalTextCollector collector(texts);
    CPlatformErrorObserver* pPrevious = pLog != NULL ? pLog->SetPlatformErrorObserver(&collector) : NULL;
    g_pTerminalLink->ReceivePacket(csReply, csTrace);
    if (pLog != NULL)
        pLog->SetPlatformErrorObserver(pPrevious);
}

DWORD PortError() { return g_pTerminalLink != NULL ? g_pTerminalLink->GetLastPortError() : ERROR_SUCCESS; }

}  // namespace

const TerminalExchange& LastTerminalExchange() { return s_lastExchange; }

signed char SendTerminalCommand(BYTE byCommand, const BYTE* pData, WORD wDataLength, BYTE* pReplyData,
                                BYTE* pbyReplyLength) {
    CString csTrace;
    BOOL bSent = FALSE;
    if (g_pTerminalLink != NULL)
        bSent = g_pTerminalLink->SendPacket(byCommand, pData, wDataLength, csTrace) != 0;
    const DWORD dwSendError = bSent ? ERROR_SUCCESS : PortError();
    if (!bSent && g_pTerminalLink != NULL && !g_pTerminalLink->HasSent()) {
        s_lastExchange = TerminalExchange();
        s_lastExchange.dwPortError = dwSendError;
        return STATUS_NO_REPLY;
    }
    const signed char status = ReadTerminalReply(pReplyData, pbyReplyLength);
    s_lastExchange.bSent = bSent;
    // A read after a broken connection may fail without a code of its own (a TCP peer that
    // has gone reads as an orderly end); the failed write then tells what happened.
    if (!s_lastExchange.bAnswered && s_lastExchange.dwPortError == ERROR_SUCCESS)
        s_lastExchange.dwPortError = dwSendError;
    return status;
}

signed char ReadTerminalReply(BYTE* pReplyData, BYTE* pbyReplyLength) {
    s_lastExchange = TerminalExchange();
    s_lastExchange.bSent = TRUE;
    CString csReply;
    if (g_pTerminalLink != NULL)
        ReceiveWithTerminalTexts(csReply, s_lastExchange.terminalTexts);

    const int nLength = csReply.GetLength();
    const BYTE* pReply = (const BYTE*)(LPCSTR)csReply;
    if (nLength < 4 || nLength < (int)pReply[1]) {
        s_lastExchange.dwPortError = PortError();
        return STATUS_NO_REPLY;
    }
    s_lastExchange.bAnswered = TRUE;

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
