// COleDateTime: a local date and time kept as an OLE DATE (days since 30 December 1899,
// the time of day as the fraction), and its rendering as text.
#pragma once

#include "afx.h"

// The Windows headers define GetCurrentTime as a macro for GetTickCount; it would
// rename COleDateTime::GetCurrentTime.
#ifdef GetCurrentTime
#undef GetCurrentTime
#endif

typedef double DATE;
typedef DWORD LCID;

#ifndef LANG_USER_DEFAULT
#define LANG_USER_DEFAULT 0x0400
#endif
#ifndef VAR_TIMEVALUEONLY
#define VAR_TIMEVALUEONLY ((DWORD)0x00000001)
#endif
#ifndef VAR_DATEVALUEONLY
#define VAR_DATEVALUEONLY ((DWORD)0x00000002)
#endif

class COleDateTime {
public:
    enum DateTimeStatus { error = -1, valid = 0, invalid = 1, null = 2 };

    // The current local date and time, to the second.
    static COleDateTime GetCurrentTime();

    COleDateTime() : m_dt(0), m_status(valid) {}
    COleDateTime(DATE dtSrc) : m_dt(dtSrc), m_status(valid) {}
    COleDateTime(int nYear, int nMonth, int nDay, int nHour, int nMin, int nSec);
    COleDateTime(const SYSTEMTIME& systimeSrc);

    DateTimeStatus GetStatus() const { return m_status; }
    void SetStatus(DateTimeStatus status) { m_status = status; }
    // 0 on success; 1 (and the status invalid) for a date or time out of range:
    // years 100 to 9999, real calendar days, 00:00:00 to 23:59:59.
    int SetDateTime(int nYear, int nMonth, int nDay, int nHour, int nMin, int nSec);
    BOOL GetAsSystemTime(SYSTEMTIME& sysTime) const;

    // Each gives -1 when the value is not valid.
    int GetYear() const;
    int GetMonth() const;
    int GetDay() const;
    int GetHour() const;
    int GetMinute() const;
    int GetSecond() const;
    int GetDayOfWeek() const;  // 1 = Sunday
    int GetDayOfYear() const;  // 1 = 1 January

    // The default rendering, the same everywhere: "M/D/YYYY h:mm:ss AM" (month and day
    // without leading zeros, twelve-hour clock), date and time always both present.
    // VAR_DATEVALUEONLY gives the date alone, VAR_TIMEVALUEONLY the time alone. The locale
    // argument is accepted for the interface.
    CString Format(DWORD dwFlags = 0, LCID lcid = LANG_USER_DEFAULT) const;
    // strftime codes ("%Y-%m-%d %H:%M:%S").
    CString Format(LPCTSTR lpszFormat) const;

    operator DATE() const { return m_dt; }
    bool operator==(const COleDateTime& other) const {
        return m_dt == other.m_dt && m_status == other.m_status;
    }
    bool operator!=(const COleDateTime& other) const { return !(*this == other); }
    bool operator<(const COleDateTime& other) const { return m_dt < other.m_dt; }
    bool operator>(const COleDateTime& other) const { return m_dt > other.m_dt; }

    DATE m_dt;
    DateTimeStatus m_status;

private:
    bool Split(SYSTEMTIME& st) const;
};
