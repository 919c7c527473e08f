#include <afxdisp.h>

#include <math.h>
#include <time.h>

namespace {

// Days from 1 January 1970 of a proleptic Gregorian date (H. Hinnant's algorithm).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long long>(doe) - 719468;
}

void CivilFromDays(long long z, int& y, int& m, int& d) {
    z += 719468;
    const long long era = (z >= 0 ? z : z - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    y = static_cast<int>(static_cast<long long>(yoe) + era * 400 + (m <= 2));
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
    static const int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return m == 2 && IsLeap(y) ? 29 : kDays[m - 1];
}

int DayOfYear(const SYSTEMTIME& st) {
    int n = st.wDay;
    for (int m = 1; m < st.wMonth; ++m)
        n += DaysInMonth(st.wYear, m);
    return n;
}

// Day 0 of an OLE date, 30 December 1899, counted from 1 January 1970.
const long long kOleEpochFromUnix = -25569;
const double kMaxDate = 2958465.999988426;  // 31 December 9999 23:59:59
const double kMinDate = -657434.999988426;  // 1 January 100 23:59:59, on the negative side

}  // namespace

COleDateTime COleDateTime::GetCurrentTime() {
    SYSTEMTIME st;
    GetLocalTime(&st);
    return COleDateTime(st);
}

COleDateTime::COleDateTime(int nYear, int nMonth, int nDay, int nHour, int nMin, int nSec)
    : m_dt(0), m_status(valid) {
    SetDateTime(nYear, nMonth, nDay, nHour, nMin, nSec);
}

COleDateTime::COleDateTime(const SYSTEMTIME& st) : m_dt(0), m_status(valid) {
    SetDateTime(st.wYear, st.wMonth, st.wDay, st.wHour, st.wMinute, st.wSecond);
}

int COleDateTime::SetDateTime(int nYear, int nMonth, int nDay, int nHour, int nMin, int nSec) {
    if (nYear < 100 || nYear > 9999 || nMonth < 1 || nMonth > 12 || nDay < 1 ||
        nDay > DaysInMonth(nYear, nMonth) || nHour < 0 || nHour > 23 || nMin < 0 || nMin > 59 || nSec < 0 ||
        nSec > 59) {
        m_dt = 0;
        m_status = invalid;
        return 1;
    }
    long long days =
        DaysFromCivil(nYear, static_cast<unsigned>(nMonth), static_cast<unsigned>(nDay)) - kOleEpochFromUnix;
    double fraction = (nHour * 3600 + nMin * 60 + nSec) / 86400.0;
    // Before day 0 the time of day still counts forwards: -1.25 is 29 December 1899, 06:00.
    m_dt = days >= 0 ? static_cast<double>(days) + fraction : static_cast<double>(days) - fraction;
    m_status = valid;
    return 0;
}

bool COleDateTime::Split(SYSTEMTIME& st) const {
    if (m_status != valid || !(m_dt >= kMinDate && m_dt <= kMaxDate))
        return false;
    double whole = trunc(m_dt);
    long long days = static_cast<long long>(whole);
    long long seconds = llround(fabs(m_dt - whole) * 86400.0);
    if (seconds >= 86400) {
        seconds -= 86400;
        ++days;
    }
    int y, m, d;
    CivilFromDays(days + kOleEpochFromUnix, y, m, d);
    st.wYear = static_cast<WORD>(y);
    st.wMonth = static_cast<WORD>(m);
    st.wDay = static_cast<WORD>(d);
    // 1 January 1970 was a Thursday (4).
    long long dow = (days + kOleEpochFromUnix + 4) % 7;
    st.wDayOfWeek = static_cast<WORD>(dow < 0 ? dow + 7 : dow);
    st.wHour = static_cast<WORD>(seconds / 3600);
    st.wMinute = static_cast<WORD>(seconds / 60 % 60);
    st.wSecond = static_cast<WORD>(seconds % 60);
    st.wMilliseconds = 0;
    return true;
}

BOOL COleDateTime::GetAsSystemTime(SYSTEMTIME& sysTime) const { return Split(sysTime) ? TRUE : FALSE; }

int COleDateTime::GetYear() const {
    SYSTEMTIME st;
    return Split(st) ? st.wYear : -1;
}

int COleDateTime::GetMonth() const {
    SYSTEMTIME st;
    return Split(st) ? st.wMonth : -1;
}

int COleDateTime::GetDay() const {
    SYSTEMTIME st;
    return Split(st) ? st.wDay : -1;
}

int COleDateTime::GetHour() const {
    SYSTEMTIME st;
    return Split(st) ? st.wHour : -1;
}

int COleDateTime::GetMinute() const {
    SYSTEMTIME st;
    return Split(st) ? st.wMinute : -1;
}

int COleDateTime::GetSecond() const {
    SYSTEMTIME st;
    return Split(st) ? st.wSecond : -1;
}

int COleDateTime::GetDayOfWeek() const {
    SYSTEMTIME st;
    return Split(st) ? st.wDayOfWeek + 1 : -1;
}

int COleDateTime::GetDayOfYear() const {
    SYSTEMTIME st;
    return Split(st) ? DayOfYear(st) : -1;
}

CString COleDateTime::Format(DWORD dwFlags, LCID /*lcid*/) const {
    if (m_status == null)
        return CString();
    SYSTEMTIME st;
    if (!Split(st))
        return CString("Invalid DateTime");
    CString date, time;
    date.Format("%d/%d/%d", st.wMonth, st.wDay, st.wYear);
    int hour12 = st.wHour % 12 == 0 ? 12 : st.wHour % 12;
    time.Format("%d:%02d:%02d %s", hour12, st.wMinute, st.wSecond, st.wHour < 12 ? "AM" : "PM");
    if (dwFlags & VAR_DATEVALUEONLY)
        return date;
    if (dwFlags & VAR_TIMEVALUEONLY)
        return time;
    return date + ' ' + time;
}

CString COleDateTime::Format(LPCTSTR lpszFormat) const {
    if (m_status == null)
        return CString();
    SYSTEMTIME st;
    if (!Split(st))
        return CString("Invalid DateTime");
    if (lpszFormat == NULL || *lpszFormat == '\0')
        return CString();
    struct tm t = {};
    t.tm_year = st.wYear - 1900;
    t.tm_mon = st.wMonth - 1;
    t.tm_mday = st.wDay;
    t.tm_hour = st.wHour;
    t.tm_min = st.wMinute;
    t.tm_sec = st.wSecond;
    t.tm_wday = st.wDayOfWeek;
    t.tm_yday = DayOfYear(st) - 1;
    t.tm_isdst = -1;
    // strftime gives 0 both for "too small" and for an empty result; grow until it fits
    // or the room is plainly beyond any sensible format.
    for (size_t room = 256; room <= 65536; room *= 4) {
        CString out;
        char* p = out.GetBuffer(static_cast<int>(room));
        size_t n = strftime(p, room, lpszFormat, &t);
        if (n > 0) {
            out.ReleaseBuffer(static_cast<int>(n));
            return out;
        }
        out.ReleaseBuffer(0);
    }
    return CString();
}
