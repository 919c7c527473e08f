#include "KeyProbe.h"

#include "Connection.h"
#include "FileDiagnosis.h"
#include "TerminalCommands.h"

#include <stdio.h>
#include <string.h>

CWinApp KeyProbeApp;
CString g_csInputPath;
CString g_csDestinationPath;
char g_szInputFile[256];

namespace {

const char* const kUsageLines[] = {
    "",
    "KEYPROBE Version 1.00: Retrieves status of M/S",
    "and DUKPT keys used for debit from a connected Pelsto ",
    "terminal running the Orvik Interface Application.",
    "",
    "KEYPROBE inputfile destfile",
    "",
    "  inputfile:     an .ini file containing connection information.",
    "  destfile:      destination file for key statuses obtained from Pelsto.",
    "",
    "The exit code returned by this process is a series of error flags,",
    "where each flag, if set, is interpreted as follows:",
    "",
    "BIT 0: Key status info from the terminal is not available.",
    "       Check all command-line parameters and port settings.",
    "",
};

const char kFailureText[] = "FAILURE: Terminal not responding. Check all port settings.";
const char kTestAccount[] = "0123456789";
const char kTestPrompt[] = "Testing...";
const char kTestTrailer[] = "00000000";
const int kSlotCount = 10;
const DWORD kPauseMs = 250;
// The terminal's replies are copied into these; the longest reply a length byte can
// report fits, with the extra byte some replies bring.
const size_t kReplyBufferSize = TERMINAL_REPLY_BUFFER_SIZE;

BOOL InitFramework() { return AfxWinInit(::GetModuleHandleA(NULL), NULL, ::GetCommandLineA(), 0); }

void Pause(DWORD dwMilliseconds) { ::Sleep(dwMilliseconds); }

CString FileErrorText(CFileException* pError) {
    char szReason[512] = {0};
    if (pError != NULL && pError->GetErrorMessage(szReason, sizeof(szReason)) && szReason[0])
        return CString(szReason);
    return CString("unknown file error");
}

// Whether two paths name one existing file, by identity (volume and file index) rather
// than by spelling, so that "t.ini", "./t.ini" and a link to it all match.
bool SameExistingFile(LPCSTR pszFirst, LPCSTR pszSecond) {
    BY_HANDLE_FILE_INFORMATION info[2];
    LPCSTR apszPaths[2] = {pszFirst, pszSecond};
    for (int i = 0; i < 2; ++i) {
        HANDLE hFile =
            ::CreateFileA(apszPaths[i], GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                          NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
        if (hFile == INVALID_HANDLE_VALUE)
            return false;
        const BOOL bKnown = ::GetFileInformationByHandle(hFile, &info[i]);
        ::CloseHandle(hFile);
        if (!bKnown)
            return false;
    }
    return info[0].dwVolumeSerialNumber == info[1].dwVolumeSerialNumber &&
           info[0].nFileIndexHigh == info[1].nFileIndexHigh && info[0].nFileIndexLow == info[1].nFileIndexLow;
}

// One group of ten slots: a key-test request each, the fetch of its outcome when the
// request was accepted, and the follow-up command that closes the slot's dialogue.
struct SlotGroup {
    int nKind;
    const char* pszLineFormat;
    BYTE byFollowUpCommand;
    BYTE byFollowUpData;
};

// Takes in what the latest command's exchange gave; TRUE when its frame went out.
BOOL NoteExchange(const KeyProbeServices& services, KeySlotReport& report, bool& bAnswered) {
    const TerminalExchange& exchange = services.pfnLastExchange();
    bAnswered = exchange.bAnswered != FALSE;
    if (!bAnswered && exchange.dwPortError != ERROR_SUCCESS)
        report.dwPortError = exchange.dwPortError;
    report.terminalTexts.insert(report.terminalTexts.end(), exchange.terminalTexts.begin(),
                                exchange.terminalTexts.end());
    return exchange.bSent;
}

BOOL TestSlots(const SlotGroup& group, const KeyProbeServices& services, CFile* pResultFile,
               KeySlotObserver* pObserver, BYTE* pFetchBuffer, BYTE* pFollowUpBuffer, BOOL bFirstGroup,
               DWORD* pdwWriteError) {
    BYTE abyStatus[kSlotCount] = {0};
    for (int nSlot = 0; nSlot < kSlotCount; ++nSlot) {
        const DWORD dwStart = ::GetTickCount();
        KeySlotReport report = KeySlotReport();
        report.nKind = group.nKind;
        report.nSlot = nSlot;

        BYTE byReplyLength = 0;
        signed char r =
            services.pfnSendKeyTestRequest(group.nKind, (BYTE)nSlot, kTestAccount, kTestPrompt, kTestTrailer);
        BOOL bAnyWritten = NoteExchange(services, report, report.bRequestAnswered);
        report.byRequestStatus = (BYTE)r;
        abyStatus[nSlot] = (BYTE)r;
        if (r == STATUS_OK) {
            memset(pFetchBuffer, 0, kReplyBufferSize);
            byReplyLength = 0;
            signed char s = services.pfnFetchTerminalReply(pFetchBuffer, &byReplyLength);
            bAnyWritten |= NoteExchange(services, report, report.bFetchAnswered);
            report.bFetched = true;
            report.byFetchStatus = (BYTE)s;
            abyStatus[nSlot] = (s == STATUS_KEY_ABSENT_F8 || s == STATUS_KEY_ABSENT_F1) ? (BYTE)s : 0;
        }
        services.pfnPause(kPauseMs);

        memset(pFollowUpBuffer, 0, kReplyBufferSize);
        byReplyLength = 0;
        const BYTE abyData[1] = {group.byFollowUpData};
        services.pfnSendTerminalCommand(group.byFollowUpCommand, abyData, 1, pFollowUpBuffer, &byReplyLength);
        bool bFollowUpAnswered = false;
        bAnyWritten |= NoteExchange(services, report, bFollowUpAnswered);
        if (bFirstGroup && nSlot == 0 && !bAnyWritten) {
            *pdwWriteError = report.dwPortError;
            return FALSE;
        }
        services.pfnPause(kPauseMs);

        report.bPresent = abyStatus[nSlot] == 0;
        if (pResultFile != NULL) {
            CString csLine;
            csLine.Format(group.pszLineFormat, nSlot,
                          report.bPresent ? "Key Is Present" : "Key Is Not Present");
            pResultFile->Write((LPCTSTR)csLine, (UINT)csLine.GetLength());
        }
        report.dwMs = ::GetTickCount() - dwStart;
        if (pObserver != NULL)
            pObserver->OnSlotDone(report);
    }
    return TRUE;
}

// Keeps every slot's report, for the words on the slots the terminal left unanswered.
class SlotReportCollector : public KeySlotObserver {
public:
    void OnSlotDone(const KeySlotReport& report) override { m_reports.push_back(report); }
    const std::vector<KeySlotReport>& Reports() const { return m_reports; }

private:
    std::vector<KeySlotReport> m_reports;
};

int TakeFailurePath(std::ostream& out, CFile& resultFile) {
    out << kFailureText << std::endl;
    resultFile.Write(kFailureText, (UINT)strlen(kFailureText));
    resultFile.Close();
    return KEYPROBE_EXIT_NO_KEY_STATUS;
}

}  // namespace

const KeyProbeServices& KeyProbeDefaultServices() {
    static const KeyProbeServices services = {
        InitFramework,       ConnectTerminal, SendKeyTestRequest,   FetchTerminalReply,
        SendTerminalCommand, Pause,           LastTerminalExchange,
    };
    return services;
}

BOOL CheckKeySlots(const KeyProbeServices& services, std::ostream* pProgress, CFile* pResultFile,
                   KeySlotObserver* pObserver, DWORD* pdwWriteError) {
    BYTE abyReply1[kReplyBufferSize];
    BYTE abyReply2[kReplyBufferSize];

    if (pProgress != NULL)
        *pProgress << "Checking status of M/S keys..." << std::endl;
    const SlotGroup masterSession = {KEYPROBE_KIND_MASTER_SESSION, "Master Key %d: %s\r\n", 'a', 'Q'};
    if (!TestSlots(masterSession, services, pResultFile, pObserver, abyReply1, abyReply2, TRUE,
                   pdwWriteError))
        return FALSE;

    if (pProgress != NULL)
        *pProgress << "Checking status of DUKPT keys..." << std::endl;
    const SlotGroup dukpt = {KEYPROBE_KIND_DUKPT, "DUKPT Key %d: %s\r\n", 'b', 'r'};
    return TestSlots(dukpt, services, pResultFile, pObserver, abyReply2, abyReply1, FALSE, pdwWriteError);
}

void PrintUsage(std::ostream& out) {
    for (const char* pszLine : kUsageLines)
        out << pszLine << '\n';
    out.flush();
}

bool ParseArguments(int argc, char* argv[], std::ostream& out) {
    if (argc != 3 || argv == NULL || argv[1] == NULL || argv[2] == NULL) {
        PrintUsage(out);
        return false;
    }
    g_csInputPath = argv[1];
    g_csDestinationPath = argv[2];
    return true;
}

int RunKeyProbe(int argc, char* argv[], std::ostream& out, std::ostream& err) {
    return RunKeyProbe(argc, argv, out, err, KeyProbeDefaultServices());
}

int RunKeyProbe(int argc, char* argv[], std::ostream& out, std::ostream& err,
                const KeyProbeServices& services) {
    if (!services.pfnInitFramework()) {
        err << "Fatal Error: MFC initialization failed" << std::endl;
        return KEYPROBE_EXIT_NO_KEY_STATUS;
    }
    if (!ParseArguments(argc, argv, out))
        return KEYPROBE_EXIT_NO_KEY_STATUS;

    // The set-up reads the INI file's name from a 256-byte buffer. A cut-off path would
    // name another file, so a longer one is refused before anything is created.
    if ((size_t)g_csInputPath.GetLength() >= sizeof(g_szInputFile)) {
        err << "Input file path is longer than " << (sizeof(g_szInputFile) - 1)
            << " characters: " << (LPCTSTR)g_csInputPath << std::endl;
        return KEYPROBE_EXIT_NO_KEY_STATUS;
    }

    // Creating the result file truncates it: were it the INI file, the connection settings
    // would be gone before they are read.
    if (SameExistingFile(g_csInputPath, g_csDestinationPath)) {
        err << "Cannot create result file " << (LPCTSTR)g_csDestinationPath << ": it is the input file "
            << (LPCTSTR)g_csInputPath << std::endl;
        return KEYPROBE_EXIT_NO_KEY_STATUS;
    }

    CFile resultFile;
    CFileException createError;
    if (!resultFile.Open(g_csDestinationPath, CFile::modeCreate | CFile::modeWrite | CFile::shareExclusive,
                         &createError)) {
        err << "Cannot create result file " << (LPCTSTR)g_csDestinationPath << ": "
            << (LPCTSTR)DescribeFileFailure(g_csDestinationPath, (DWORD)createError.m_lOsError,
                                            FileErrorText(&createError))
            << std::endl;
        return KEYPROBE_EXIT_NO_KEY_STATUS;
    }

    try {
        out << "Reading connection information from " << (LPCTSTR)g_csInputPath << std::endl;
        memcpy(g_szInputFile, (LPCTSTR)g_csInputPath, (size_t)g_csInputPath.GetLength() + 1);

        out << "Connecting to Pelsto terminal..." << std::endl;
        if (services.pfnConnectTerminal() != CONNECT_OK)
            return TakeFailurePath(out, resultFile);

        SlotReportCollector reports;
        DWORD dwWriteError = ERROR_SUCCESS;
        if (!CheckKeySlots(services, &out, &resultFile, &reports, &dwWriteError)) {
            err << DescribeNothingWritten(dwWriteError) << std::endl;
            return TakeFailurePath(out, resultFile);
        }
        resultFile.Close();
        // The result file reads the same for a slot the terminal never answered as for an
        // absent key; only here does the difference show.
        const std::string unanswered = DescribeUnansweredSlots(reports.Reports());
        if (!unanswered.empty())
            err << unanswered << std::endl;
    } catch (CFileException* e) {
        // Key statuses that never reached the result file are not available either.
        err << "Cannot write result file " << (LPCTSTR)g_csDestinationPath << ": "
            << (LPCTSTR)FileErrorText(e) << std::endl;
        e->Delete();
        return KEYPROBE_EXIT_NO_KEY_STATUS;
    }
    return KEYPROBE_EXIT_OK;
}
