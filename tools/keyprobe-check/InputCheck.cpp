// Winsock's header has to come before anything that brings in <windows.h>.
#include <winsock2.h>

#include "Checks.h"
#include "Connection.h"
#include "ConnectionDiagnosis.h"
#include "DebugFile.h"
#include "HostDevices.h"
#include "Port.h"
#include "UsbDeviceSurvey.h"

namespace keyprobecheck {

void CheckInputFile(const std::string& path, InputFileCheck& check) {
    check.bGiven = true;
    check.path = path;

    InputFileFindings findings;
    ExamineInputFile(path.c_str(), findings);
    check.fileProblem = (LPCTSTR)findings.csFileProblem;
    for (INT_PTR i = 0; i < findings.arrKeysRead.GetSize(); ++i)
        check.keysRead.push_back((LPCTSTR)findings.arrKeysRead[i]);
    for (INT_PTR i = 0; i < findings.arrKeyNotes.GetSize(); ++i)
        check.notes.push_back((LPCTSTR)findings.arrKeyNotes[i]);

    ConnectionSettings settings;
    ReadConnectionSettings(path.c_str(), settings);
    check.connection = (LPCTSTR)DescribeConnection(settings);
    if (settings.nPortKind == PORT_KIND_SERIAL)
        check.device = SerialDevicePath((LPCTSTR)settings.csPort);

    // The port keyprobe would make, opened the way keyprobe opens it; no frame goes out.
    // A log without a key, as keyprobe's: the check never writes one on anybody's behalf.
    CDebugFile log("");
    CString csError;
    if (!ApplyConnectionSettings(settings, csError)) {
        check.openFailure = std::string((LPCTSTR)csError) + "; keyprobe stops there and opens nothing";
        return;
    }
    CPort* pPort = CreateTerminalPort(settings, &log);
    if (pPort == NULL) {
        check.openFailure = "cannot open " + check.connection + ": this build has no port of that kind";
        return;
    }
    const BOOL bOpened = pPort->OpenPort() && pPort->IsOpen();
    const DWORD dwError = OpenFailureCode(pPort, ::GetLastError());
    // Opened is not enough: keyprobe has to be able to exchange its reports with it.
    const CString csProblem = bOpened ? OpenPortProblem(pPort) : CString();
    pPort->ClosePort();
    delete pPort;
    check.bOpened = bOpened && csProblem.IsEmpty();
    if (check.bOpened)
        return;
    if (bOpened) {
        check.openFailure =
            "opened " + check.connection + ", but keyprobe cannot use it: " + (LPCTSTR)csProblem;
        return;
    }
    CString csFix;
    check.openFailure = (LPCTSTR)DescribeOpenFailure(settings, dwError, &csFix);
    check.fix = (LPCTSTR)csFix;
    RefineOpenFailure(settings, dwError, check);
}

}  // namespace keyprobecheck
