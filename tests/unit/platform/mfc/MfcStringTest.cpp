#include <afx.h>

#include <gtest/gtest.h>

#include <string.h>

#include <string>

namespace {

std::string Bytes(const CString& s) {
    return std::string(static_cast<LPCTSTR>(s), static_cast<size_t>(s.GetLength()));
}

}  // namespace

TEST(MfcStringBytes, HoldsZeroBytesFromPointerAndLength) {
    const char frame[] = {0x05, 0x00, 0x03, 'a', 0x00, 0x66};
    CString s(frame, 6);
    EXPECT_EQ(6, s.GetLength());
    EXPECT_EQ(0, memcmp(static_cast<LPCTSTR>(s), frame, 6));
    EXPECT_EQ('\0', static_cast<LPCTSTR>(s)[6]);

    CString copy(s);
    CString assigned;
    assigned = s;
    EXPECT_EQ(std::string(frame, 6), Bytes(copy));
    EXPECT_EQ(std::string(frame, 6), Bytes(assigned));

    CString joined = s + s;
    EXPECT_EQ(12, joined.GetLength());
    EXPECT_EQ(std::string(frame, 6) + std::string(frame, 6), Bytes(joined));
    EXPECT_EQ(std::string(frame + 1, 3), Bytes(s.Mid(1, 3)));
    EXPECT_EQ(1, s.Find('\0'));
    EXPECT_EQ(4, s.Find('\0', 2));
    EXPECT_EQ(4, s.ReverseFind('\0'));
    EXPECT_EQ(0x66, s.GetAt(5));
}

TEST(MfcStringBytes, GetBufferSetLengthKeepsZerosAndReleaseBufferCounts) {
    CString s;
    BYTE* p = reinterpret_cast<BYTE*>(s.GetBufferSetLength(4));
    p[0] = 0x00;
    p[1] = 0xF8;
    p[2] = 0x00;
    p[3] = 0x80;
    EXPECT_EQ(4, s.GetLength());
    EXPECT_EQ(0xF8, static_cast<BYTE>(s[1]));

    CString t("abc");
    char* q = t.GetBuffer(100);
    strcpy(q, "longer text");
    t.ReleaseBuffer();
    EXPECT_EQ(CString("longer text"), t);

    char* r = t.GetBuffer(0);
    r[2] = '\0';
    t.ReleaseBuffer(-1);
    EXPECT_EQ(CString("lo"), t);

    t.GetBuffer(10);
    t.ReleaseBuffer(7);
    EXPECT_EQ(7, t.GetLength());
}

TEST(MfcStringBytes, ComparisonCountsEveryByte) {
    CString withZero("ab\0c", 4);
    CString prefix("ab");
    EXPECT_NE(withZero, prefix);
    EXPECT_GT(withZero.Compare(prefix), 0);
    EXPECT_LT(prefix.Compare(withZero), 0);
    EXPECT_NE(withZero, "ab");
    EXPECT_EQ(CString("ab\0c", 4), withZero);

    // Bytes compare unsigned, as the C library does.
    EXPECT_LT(CString("\x7F"), CString("\x80"));
    EXPECT_LT(CString("abc"), "abd");
    EXPECT_TRUE("abc" < CString("abd"));
    EXPECT_EQ(0, CString("Serial Port").CompareNoCase("SERIAL port"));
    EXPECT_NE(0, CString("Serial Port").Compare("serial port"));
    EXPECT_LT(CString("a").CompareNoCase("B"), 0);
    EXPECT_EQ(0, CString().Compare(static_cast<LPCTSTR>(NULL)));
}

TEST(MfcStringEdit, ConcatenationOfItself) {
    CString s("xy");
    s += s;
    s += static_cast<LPCTSTR>(s) + 2;
    EXPECT_EQ(CString("xyxyxy"), s);
    s = static_cast<LPCTSTR>(s) + 4;
    EXPECT_EQ(CString("xy"), s);
    s += 'z';
    EXPECT_EQ(CString("xyz"), 'x' + s.Mid(1));
    EXPECT_EQ(CString("---"), CString('-', 3));
    EXPECT_TRUE(CString('-', 0).IsEmpty());

    CString grown;
    for (int i = 0; i < 1000; ++i)
        grown += "0123456789";
    EXPECT_EQ(10000, grown.GetLength());
    EXPECT_EQ(9990, grown.ReverseFind('0'));
}

TEST(MfcStringEdit, MidLeftRightClipToTheString) {
    CString s("Connection");
    EXPECT_EQ(CString("Conn"), s.Left(4));
    EXPECT_EQ(CString("Connection"), s.Left(50));
    EXPECT_EQ(CString(""), s.Left(-1));
    EXPECT_EQ(CString("tion"), s.Right(4));
    EXPECT_EQ(CString("Connection"), s.Right(11));
    EXPECT_EQ(CString("nection"), s.Mid(3));
    EXPECT_EQ(CString("nec"), s.Mid(3, 3));
    EXPECT_EQ(CString("Con"), s.Mid(-2, 3));
    EXPECT_EQ(CString("ion"), s.Mid(7, 0x7FFFFFFF));
    EXPECT_TRUE(s.Mid(10).IsEmpty());
    EXPECT_TRUE(s.Mid(20, 5).IsEmpty());
}

TEST(MfcStringEdit, CaseReplaceInsertDelete) {
    CString s("TCP/IP Port 8009");
    EXPECT_EQ(CString("tcp/ip port 8009"), CString(s).MakeLower());
    EXPECT_EQ(CString("TCP/IP PORT 8009"), CString(s).MakeUpper());
    CString high("\xC4Z");
    high.MakeLower();
    EXPECT_EQ(CString("\xC4z"), high);  // only ASCII letters change

    CString r("a=b=c");
    EXPECT_EQ(2, r.Replace("=", "=="));
    EXPECT_EQ(CString("a==b==c"), r);
    EXPECT_EQ(2, r.Replace("==", ""));
    EXPECT_EQ(CString("abc"), r);
    EXPECT_EQ(0, r.Replace("", "x"));
    EXPECT_EQ(1, r.Replace('b', 'B'));
    EXPECT_EQ(CString("aBc"), r);

    EXPECT_EQ(5, r.Insert(1, "--"));
    EXPECT_EQ(CString("a--Bc"), r);
    EXPECT_EQ(6, r.Insert(99, '!'));
    EXPECT_EQ(CString("a--Bc!"), r);
    EXPECT_EQ(3, r.Delete(1, 3));
    EXPECT_EQ(CString("ac!"), r);
    EXPECT_EQ(3, r.Delete(5, 1));
    EXPECT_EQ(1, r.Delete(1, 100));
    EXPECT_EQ(CString("a"), r);
    EXPECT_EQ(1, CString("a.b").Remove('.'));
}

TEST(MfcStringTrim, DefaultSetIsTheSixWhiteSpaceCharacters) {
    CString s(" \t\r\n\v\fTCP/IP Port\f\v\n\r\t ");
    s.Trim();
    EXPECT_EQ(CString("TCP/IP Port"), s);

    CString inner("  a b  ");
    inner.TrimLeft();
    EXPECT_EQ(CString("a b  "), inner);
    inner.TrimRight();
    EXPECT_EQ(CString("a b"), inner);

    // A zero byte is not white space: trimming stops at it.
    CString z(" \0 x ", 5);
    z.Trim();
    EXPECT_EQ(std::string("\0 x", 3), Bytes(z));

    CString all(" \t ");
    all.Trim();
    EXPECT_TRUE(all.IsEmpty());
}

TEST(MfcStringTrim, CharacterAndSetTargets) {
    CString s("xxabcxx");
    s.Trim('x');
    EXPECT_EQ(CString("abc"), s);
    CString t("[]Connection[]");
    t.TrimLeft("[]");
    EXPECT_EQ(CString("Connection[]"), t);
    t.TrimRight("][");
    EXPECT_EQ(CString("Connection"), t);
    CString u("  keep  ");
    u.Trim("");
    EXPECT_EQ(CString("  keep  "), u);
}

TEST(MfcStringFind, EdgesOfTheSearch) {
    CString s("Port=COM2=x");
    EXPECT_EQ(4, s.Find('='));
    EXPECT_EQ(9, s.Find('=', 5));
    EXPECT_EQ(-1, s.Find('=', 10));
    EXPECT_EQ(-1, s.Find('=', 11));
    EXPECT_EQ(-1, s.Find('=', -1));
    EXPECT_EQ(5, s.Find("COM"));
    EXPECT_EQ(-1, s.Find("COM", 6));
    EXPECT_EQ(0, s.Find(""));
    EXPECT_EQ(11, s.Find("", 11));
    EXPECT_EQ(-1, s.Find("", 12));
    EXPECT_EQ(-1, s.Find("x=", 0));
    EXPECT_EQ(9, s.ReverseFind('='));
    EXPECT_EQ(-1, s.ReverseFind('#'));
    EXPECT_EQ(4, s.FindOneOf("=]"));
    EXPECT_EQ(-1, CString().Find('a'));
    EXPECT_EQ(-1, CString().ReverseFind('a'));
    EXPECT_EQ(CString("Port"), s.SpanExcluding("="));
    EXPECT_EQ(CString("Po"), s.SpanIncluding("oP"));

    // The search runs on past zero bytes inside the string.
    CString frame("\x05\x00\x02\x03\x00", 5);
    EXPECT_EQ(2, frame.Find("\x02\x03"));
    EXPECT_EQ(2, frame.Find('\x02'));
    EXPECT_EQ(3, frame.FindOneOf("\x03"));
}

TEST(MfcStringFormat, PrintfSemantics) {
    CString s;
    s.Format("Master Key %d: %s\r\n", 7, "Key Is Present");
    EXPECT_EQ(CString("Master Key 7: Key Is Present\r\n"), s);
    s.Format("%s (%05d ms)\tEC%04d\tDevice name [%s] - %s\r\n", "d", 7, 42, "", "t");
    EXPECT_EQ(CString("d (00007 ms)\tEC0042\tDevice name [] - t\r\n"), s);
    s.Format("error code=0x%X %02X %.4d-%.2d", 0xF8u, 5u, 2026, 6);
    EXPECT_EQ(CString("error code=0xF8 05 2026-06"), s);
    s.Format("%c", 0);
    EXPECT_EQ(1, s.GetLength());
    s.AppendFormat("%d", 12);
    EXPECT_EQ(std::string("\0"
                          "12",
                          3),
              Bytes(s));
}

TEST(MfcStringFormat, LongTextsAndSelfReference) {
    std::string big(70000, 'q');
    CString s;
    s.Format("<%s>", big.c_str());
    ASSERT_EQ(70002, s.GetLength());
    EXPECT_EQ('<', s[0]);
    EXPECT_EQ('q', s[35000]);
    EXPECT_EQ('>', s[70001]);

    s.Format("%s|%s", static_cast<LPCTSTR>(s), static_cast<LPCTSTR>(s));
    EXPECT_EQ(140005, s.GetLength());
    EXPECT_EQ('|', s[70002]);

    CString t("ab");
    t.AppendFormat("%s%s", static_cast<LPCTSTR>(t), big.c_str());
    EXPECT_EQ(70004, t.GetLength());
    EXPECT_EQ(CString("abab"), t.Left(4));
}

TEST(MfcStringAccess, OutOfRangeIsHarmless) {
    CString s("ab");
    EXPECT_EQ('\0', s.GetAt(2));
    EXPECT_EQ('\0', s.GetAt(-1));
    s.SetAt(5, 'x');
    s.SetAt(1, 'B');
    EXPECT_EQ(CString("aB"), s);
    EXPECT_EQ('B', s[static_cast<size_t>(1)]);
    EXPECT_STREQ("", static_cast<LPCTSTR>(CString()));
    EXPECT_STREQ("", static_cast<LPCTSTR>(CString(static_cast<LPCSTR>(NULL))));
    CString moved(std::move(s));
    EXPECT_EQ(CString("aB"), moved);
    s.Empty();
    EXPECT_TRUE(s.IsEmpty());
}
