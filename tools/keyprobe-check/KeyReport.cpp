#include "KeyReport.h"

#include <stdio.h>
#include <string.h>

#include <iostream>
#include <sstream>

#include "CheckReport.h"
#include "Checks.h"
#include "Connection.h"
#include "ConnectionDiagnosis.h"
#include "Json.h"
#include "KeyProbe.h"
#include "KeySlotReport.h"

namespace keyprobecheck {

namespace {

// Readable in a terminal 100 columns wide, whose last column some terminals wrap at.
const size_t kLineColumns = 99;
const char kHeading[] = "kind   slot  present  request   fetch         ms  terminal's texts";

std::string StatusText(bool bAnswered, BYTE byStatus) {
    if (!bAnswered)
        return "no reply";
    char sz[8];
    snprintf(sz, sizeof(sz), "0x%02X", byStatus);
    return sz;
}

// A terminal's text may hold any byte; on a console only printable ASCII goes as it is.
std::string Printable(const std::string& text) {
    std::string s;
    for (unsigned char c : text) {
        if (c == '\\' || c == '"') {
            s += '\\';
            s += (char)c;
        } else if (c >= 0x20 && c < 0x7F) {
            s += (char)c;
        } else {
            char sz[8];
            snprintf(sz, sizeof(sz), "\\x%02X", c);
            s += sz;
        }
    }
    return s;
}

int AnsweredRequests(const std::vector<KeySlotReport>& reports) {
    int nAnswered = 0;
    for (const KeySlotReport& report : reports)
        nAnswered += report.bRequestAnswered;
    return nAnswered;
}

// One line of at most kLineColumns; the terminal's texts are cut to fit (*pbCut then set).
std::string KeySlotLine(const KeySlotReport& report, bool* pbCut) {
    char szFixed[128];
    snprintf(szFixed, sizeof(szFixed), "%-5s  %4d  %-7s  %-8s  %-8s  %6lu",
             report.nKind == KEYPROBE_KIND_MASTER_SESSION ? "M/S" : "DUKPT", report.nSlot,
             report.bPresent ? "yes" : "no",
             StatusText(report.bRequestAnswered, report.byRequestStatus).c_str(),
             report.bFetched ? StatusText(report.bFetchAnswered, report.byFetchStatus).c_str() : "not sent",
             (unsigned long)report.dwMs);
    std::string line = szFixed;
    std::string texts;
    for (const std::string& text : report.terminalTexts)
        texts += (texts.empty() ? "\"" : " \"") + Printable(text) + "\"";
    if (texts.empty())
        return line;
    line += "  ";
    if (line.size() + texts.size() > kLineColumns) {
        texts.resize(kLineColumns - line.size() - 3);
        texts += "...";
        *pbCut = true;
    }
    return line + texts;
}

void WriteKeyReportJson(const std::vector<KeySlotReport>& reports, DWORD dwWallMs, std::ostream& out) {
    out << "{\n  \"slots\": [";
    for (size_t i = 0; i < reports.size(); ++i) {
        const KeySlotReport& r = reports[i];
        out << (i ? "," : "") << "\n    {\"kind\": "
            << (r.nKind == KEYPROBE_KIND_MASTER_SESSION ? "\"master/session\"" : "\"dukpt\"")
            << ", \"slot\": " << r.nSlot << ", \"present\": " << (r.bPresent ? "true" : "false")
            << ", \"request_status\": ";
        if (r.bRequestAnswered)
            out << (int)r.byRequestStatus;
        else
            out << "null";
        out << ", \"fetch_status\": ";
        if (r.bFetched && r.bFetchAnswered)
            out << (int)r.byFetchStatus;
        else
            out << "null";
        out << ", \"terminal_texts\": [";
        for (size_t t = 0; t < r.terminalTexts.size(); ++t)
            out << (t ? ", " : "") << JsonString(r.terminalTexts[t]);
        out << "], \"ms\": " << (unsigned long)r.dwMs << "}";
    }
    out << "\n  ],\n  \"answered\": " << AnsweredRequests(reports)
        << ",\n  \"wall_ms\": " << (unsigned long)dwWallMs << "\n}\n";
}

// Collects the slots as they complete; a table prints each line at once, so that a person
// watching a slow terminal sees the run go on.
class KeyReportPrinter : public KeySlotObserver {
public:
    KeyReportPrinter(bool bJson, std::ostream& out) : m_bJson(bJson), m_out(out) {}

    void OnSlotDone(const KeySlotReport& report) override {
        m_reports.push_back(report);
        if (m_bJson)
            return;
        if (m_reports.size() == 1)
            m_out << kHeading << "\n";
        m_out << KeySlotLine(report, &m_bCut) << std::endl;
    }

    void Finish(DWORD dwWallMs) {
        if (m_bJson) {
            WriteKeyReportJson(m_reports, dwWallMs, m_out);
            return;
        }
        char szTime[32];
        snprintf(szTime, sizeof(szTime), "%.1f s", dwWallMs / 1000.0);
        m_out << "\nThe terminal answered " << AnsweredRequests(m_reports) << " of the " << m_reports.size()
              << " key-test requests; the run took " << szTime << ".\n";
        const std::string unanswered = DescribeUnansweredSlots(m_reports);
        if (!unanswered.empty())
            m_out << unanswered << "\n";
        if (m_bCut)
            m_out << "Texts cut to fit the line end in \"...\"; --json gives them whole.\n";
    }

private:
    bool m_bJson;
    std::ostream& m_out;
    std::vector<KeySlotReport> m_reports;
    bool m_bCut = false;
};

// Standard error taken over for a while: the set-up explains a failed open in keyprobe's
// words, and the device check's words are the ones to give instead.
class CapturedErrorStream {
public:
    CapturedErrorStream() : m_pSaved(std::cerr.rdbuf(m_text.rdbuf())) {}
    ~CapturedErrorStream() { Release(); }
    std::string Release() {
        if (m_pSaved != NULL) {
            std::cerr.rdbuf(m_pSaved);
            m_pSaved = NULL;
        }
        return m_text.str();
    }

private:
    std::ostringstream m_text;
    std::streambuf* m_pSaved;
};

void ExplainWithTheDeviceCheck(const std::string& iniPath, const std::string& setUpText, std::ostream& err) {
    InputFileCheck check;
    CheckInputFile(iniPath, check);
    // Opened the second time after all (the terminal came, or the set-up refused the file
    // before any port): the set-up's own words say why the first attempt failed.
    if (check.bOpened) {
        err << setUpText;
        return;
    }
    ExplainInputFile(iniPath.c_str(), err);
    err << check.openFailure << "\n";
    if (!check.fix.empty())
        err << "fix: " << check.fix << "\n";
}

}  // namespace

int RunKeyReport(const std::string& iniPath, bool bJson, std::ostream& out, std::ostream& err) {
    if (iniPath.size() >= sizeof(g_szInputFile)) {
        err << "keyprobe-check: the input file path is longer than " << sizeof(g_szInputFile) - 1
            << " characters, which keyprobe refuses\n";
        return 2;
    }
    const DWORD dwStart = ::GetTickCount();
    memcpy(g_szInputFile, iniPath.c_str(), iniPath.size() + 1);

    CapturedErrorStream capture;
    const signed char connected = ConnectTerminal();
    const std::string setUpText = capture.Release();
    if (connected != CONNECT_OK) {
        ExplainWithTheDeviceCheck(iniPath, setUpText, err);
        return 1;
    }
    err << setUpText;

    KeyReportPrinter printer(bJson, out);
    DWORD dwWriteError = ERROR_SUCCESS;
    if (!CheckKeySlots(KeyProbeDefaultServices(), NULL, NULL, &printer, &dwWriteError)) {
        err << DescribeNothingWritten(dwWriteError) << "\n";
        return 1;
    }
    printer.Finish(::GetTickCount() - dwStart);
    return 0;
}

}  // namespace keyprobecheck
