#include <gtest/gtest.h>

#include "TerminalUsbIds.h"

TEST(TerminalUsbIds, ParsesUpToEightPairsAndRefusesAnythingElse) {
    struct Case {
        const char* text;
        int nCount;  // -1: refused
    } cases[] = {
        {"1209:0001", 1},
        {" 0aBc:FFFF , 1209:0002", 2},
        {"0001:0001,0002:0002,0003:0003,0004:0004,0005:0005,0006:0006,0007:0007,0008:0008", 8},
        {"0001:0001,0002:0002,0003:0003,0004:0004,0005:0005,0006:0006,0007:0007,0008:0008,0009:0009", -1},
        {"", -1},
        {"1209:001", -1},
        {"1209:00011", -1},
        {"1209-0001", -1},
        {"1209:0001,", -1},
        {"1209:0001;1209:0002", -1},
        {"0x12:0001", -1},
    };
    for (const Case& c : cases) {
        TerminalUsbId ids[TERMINAL_USB_ID_MAX];
        int nCount = 0;
        CString csError;
        const BOOL ok = ParseTerminalUsbIds(c.text, ids, &nCount, csError);
        EXPECT_EQ(c.nCount >= 0, ok != FALSE) << c.text;
        if (c.nCount >= 0)
            EXPECT_EQ(c.nCount, nCount) << c.text;
        else
            EXPECT_FALSE(csError.IsEmpty()) << c.text;
    }
    TerminalUsbId ids[2];
    int nCount = 0;
    CString csError;
    ASSERT_TRUE(ParseTerminalUsbIds(" 0aBc:FFFF , 1209:0002", ids, &nCount, csError));
    EXPECT_EQ(0x0ABC, ids[0].wVendorId);
    EXPECT_EQ(0xFFFF, ids[0].wProductId);
    EXPECT_EQ(0x0002, ids[1].wProductId);
}

TEST(TerminalUsbIds, ReplacedListIsTheOneInEffectUntilRestored) {
    TerminalUsbId builtIn[TERMINAL_USB_ID_MAX];
    const int nBuiltIn = GetTerminalUsbIds(builtIn, TERMINAL_USB_ID_MAX);
    ASSERT_GT(nBuiltIn, 0);
    EXPECT_TRUE(IsTerminalUsbId(builtIn[nBuiltIn - 1].wVendorId, builtIn[nBuiltIn - 1].wProductId));

    const TerminalUsbId mine[] = {{0x2001, 0x0042}};
    SetTerminalUsbIds(mine, 1);
    EXPECT_TRUE(IsTerminalUsbId(0x2001, 0x0042));
    EXPECT_FALSE(IsTerminalUsbId(builtIn[0].wVendorId, builtIn[0].wProductId));
    TerminalUsbId out[TERMINAL_USB_ID_MAX];
    EXPECT_EQ(1, GetTerminalUsbIds(out, TERMINAL_USB_ID_MAX));

    SetTerminalUsbIds(NULL, 0);
    ASSERT_EQ(nBuiltIn, GetTerminalUsbIds(out, TERMINAL_USB_ID_MAX));
    for (int i = 0; i < nBuiltIn; ++i) {
        EXPECT_EQ(builtIn[i].wVendorId, out[i].wVendorId) << i;
        EXPECT_EQ(builtIn[i].wProductId, out[i].wProductId) << i;
    }
    EXPECT_FALSE(IsTerminalUsbId(0x2001, 0x0042));
}
