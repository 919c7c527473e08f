#include <afxdisp.h>
#include <afxwin.h>

#include <gtest/gtest.h>

#include <time.h>

TEST(MfcWinApp, InitRecordsHandlesAndNamesTheAppAfterItsExecutable) {
    EXPECT_EQ(NULL, AfxGetApp());
    {
        CWinApp app;
        EXPECT_EQ(&app, AfxGetApp());
        EXPECT_EQ(NULL, app.m_pszAppName);

        char cmdLine[] = "keyprobe in.ini out.txt";
        HINSTANCE hInstance = GetModuleHandleA(NULL);
        EXPECT_TRUE(AfxWinInit(hInstance, NULL, cmdLine, 0));
        EXPECT_EQ(hInstance, app.m_hInstance);
        EXPECT_EQ(hInstance, AfxGetInstanceHandle());
        EXPECT_EQ(cmdLine, app.m_lpCmdLine);
        EXPECT_EQ(0, app.m_nCmdShow);
        ASSERT_NE(static_cast<LPCTSTR>(NULL), app.m_pszAppName);
        EXPECT_STREQ("test_mfc", app.m_pszAppName);  // no folder, no extension
        EXPECT_STREQ("test_mfc", app.m_pszExeName);
        EXPECT_STREQ(app.m_pszAppName, AfxGetAppName());
    }
    EXPECT_EQ(NULL, AfxGetApp());

    CWinApp named("Probe");
    EXPECT_TRUE(AfxWinInit(NULL, NULL, NULL, 1));
    EXPECT_STREQ("Probe", named.m_pszAppName);
    EXPECT_EQ(1, named.m_nCmdShow);
}

TEST(MfcWinApp, InitWithoutApplicationObjectStillSucceeds) {
    ASSERT_EQ(NULL, AfxGetApp());
    EXPECT_TRUE(AfxWinInit(NULL, NULL, NULL, 0));
}

TEST(MfcOleDateTime, CalendarAndDateValue) {
    COleDateTime epoch(1899, 12, 30, 0, 0, 0);
    EXPECT_EQ(0.0, epoch.m_dt);
    COleDateTime noon(1900, 1, 1, 12, 0, 0);
    EXPECT_DOUBLE_EQ(2.5, noon.m_dt);
    COleDateTime before(1899, 12, 29, 6, 0, 0);
    EXPECT_DOUBLE_EQ(-1.25, before.m_dt);  // the time still counts forwards
    EXPECT_EQ(6, before.GetHour());
    EXPECT_EQ(29, before.GetDay());

    COleDateTime t(2026, 12, 6, 17, 38, 21);
    ASSERT_EQ(COleDateTime::valid, t.GetStatus());
    EXPECT_EQ(2026, t.GetYear());
    EXPECT_EQ(12, t.GetMonth());
    EXPECT_EQ(6, t.GetDay());
    EXPECT_EQ(17, t.GetHour());
    EXPECT_EQ(38, t.GetMinute());
    EXPECT_EQ(21, t.GetSecond());
    EXPECT_EQ(1, t.GetDayOfWeek());  // a Sunday
    EXPECT_EQ(340, t.GetDayOfYear());

    COleDateTime leap(2024, 2, 29, 23, 59, 59);
    EXPECT_EQ(COleDateTime::valid, leap.GetStatus());
    EXPECT_EQ(59, leap.GetSecond());
    EXPECT_EQ(29, leap.GetDay());

    EXPECT_EQ(COleDateTime::invalid, COleDateTime(2023, 2, 29, 0, 0, 0).GetStatus());
    EXPECT_EQ(COleDateTime::invalid, COleDateTime(2026, 1, 1, 24, 0, 0).GetStatus());
    EXPECT_EQ(COleDateTime::invalid, COleDateTime(99, 1, 1, 0, 0, 0).GetStatus());
    EXPECT_EQ(-1, COleDateTime(2026, 13, 1, 0, 0, 0).GetYear());
}

TEST(MfcOleDateTime, TextRenderings) {
    COleDateTime evening(2026, 12, 6, 17, 38, 21);
    EXPECT_EQ(CString("12/6/2026 5:38:21 PM"), evening.Format(0, LANG_USER_DEFAULT));
    EXPECT_EQ(CString("12/6/2026 5:38:21 PM"), evening.Format());
    EXPECT_EQ(CString("12/6/2026"), evening.Format(VAR_DATEVALUEONLY));
    EXPECT_EQ(CString("5:38:21 PM"), evening.Format(VAR_TIMEVALUEONLY));
    // Midnight and noon on the twelve-hour clock; the time is shown even at midnight.
    EXPECT_EQ(CString("1/2/2027 12:00:00 AM"), COleDateTime(2027, 1, 2, 0, 0, 0).Format());
    EXPECT_EQ(CString("1/2/2027 12:05:09 PM"), COleDateTime(2027, 1, 2, 12, 5, 9).Format());
    EXPECT_EQ(CString("2026-12-06 17:38:21"), evening.Format("%Y-%m-%d %H:%M:%S"));

    COleDateTime bad(2026, 2, 30, 0, 0, 0);
    EXPECT_EQ(CString("Invalid DateTime"), bad.Format());
    COleDateTime empty;
    empty.SetStatus(COleDateTime::null);
    EXPECT_TRUE(empty.Format().IsEmpty());
}

TEST(MfcOleDateTime, CurrentTimeIsTheLocalClock) {
    time_t before = time(NULL);
    COleDateTime now = COleDateTime::GetCurrentTime();
    time_t after = time(NULL);
    ASSERT_EQ(COleDateTime::valid, now.GetStatus());

    SYSTEMTIME st;
    ASSERT_TRUE(now.GetAsSystemTime(st));
    struct tm t = {};
    t.tm_year = st.wYear - 1900;
    t.tm_mon = st.wMonth - 1;
    t.tm_mday = st.wDay;
    t.tm_hour = st.wHour;
    t.tm_min = st.wMinute;
    t.tm_sec = st.wSecond;
    t.tm_isdst = -1;
    time_t back = mktime(&t);
    // Whole seconds: the reading lies between the two clock readings around it.
    EXPECT_GE(back, before - 1);
    EXPECT_LE(back, after + 1);
    EXPECT_NE(-1, now.Format().Find(' '));
}
