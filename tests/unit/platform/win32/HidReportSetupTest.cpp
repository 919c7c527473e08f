// HidP_InitializeReportForID as Windows has it: a report of the type's length, zeroed and
// given its ID, only for an ID the device's descriptor gives that type.
#include <windows.h>

#include <gtest/gtest.h>
#include <hidpi.h>
#include <hidsdi.h>

#include <algorithm>
#include <string>
#include <vector>

#include "FakeHidServer.h"
#include "HidInterfacePaths.h"

using namespace testsupport;

namespace {

TEST(HidReportSetup, GivesAReportOnlyForAnIdAndLengthTheDeviceHas) {
    vdev::HidDeviceShape unnumbered;
    unnumbered.numbered = false;
    vdev::HidDeviceShape lopsided;
    lopsided.inputLength = 9;
    lopsided.outputLength = 33;
    const struct {
        const char* name;
        FakeHidDevice device;
        HIDP_REPORT_TYPE type;
        UCHAR id;
        ULONG length;
        LONG status;
    } rows[] = {
        {"numbered output 2", FakeHidDevice{7, vdev::HidDeviceShape()}, HidP_Output, 2, 65,
         HIDP_STATUS_SUCCESS},
        {"numbered output 1", FakeHidDevice{7, vdev::HidDeviceShape()}, HidP_Output, 1, 65,
         HIDP_STATUS_REPORT_DOES_NOT_EXIST},
        {"a short buffer", FakeHidDevice{7, vdev::HidDeviceShape()}, HidP_Output, 2, 64,
         HIDP_STATUS_INVALID_REPORT_LENGTH},
        {"the output length, not the input's", FakeHidDevice{7, lopsided}, HidP_Output, 2, 33,
         HIDP_STATUS_SUCCESS},
        {"the input length for output", FakeHidDevice{7, lopsided}, HidP_Output, 2, 9,
         HIDP_STATUS_INVALID_REPORT_LENGTH},
        {"unnumbered output 0", FakeHidDevice{7, unnumbered}, HidP_Output, 0, 65, HIDP_STATUS_SUCCESS},
        {"unnumbered output 2", FakeHidDevice{7, unnumbered}, HidP_Output, 2, 65,
         HIDP_STATUS_REPORT_DOES_NOT_EXIST},
        {"no such type", FakeHidDevice{7, vdev::HidDeviceShape()}, (HIDP_REPORT_TYPE)3, 2, 65,
         HIDP_STATUS_INVALID_REPORT_TYPE},
    };
    for (const auto& row : rows) {
        FakeHidServer server({row.device});
        const std::vector<std::string> paths = HidInterfacePaths();
        ASSERT_EQ(1u, paths.size()) << row.name;
        HANDLE h =
            CreateFileA(paths[0].c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                        NULL, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, NULL);
        ASSERT_NE(INVALID_HANDLE_VALUE, h) << row.name;
        PHIDP_PREPARSED_DATA preparsed = NULL;
        ASSERT_TRUE(HidD_GetPreparsedData(h, &preparsed)) << row.name;
        std::vector<CHAR> report(row.length + 1, 'x');
        EXPECT_EQ(row.status,
                  HidP_InitializeReportForID(row.type, row.id, preparsed, report.data(), row.length))
            << row.name;
        // A report set up is the ID and zeros; a refused one is left alone.
        std::vector<CHAR> expected(row.length + 1, 'x');
        if (row.status == HIDP_STATUS_SUCCESS) {
            std::fill(expected.begin(), expected.end() - 1, 0);
            expected[0] = (CHAR)row.id;
        }
        EXPECT_EQ(expected, report) << row.name << ": wrong bytes, or written past the length";
        EXPECT_TRUE(HidD_FreePreparsedData(preparsed));
        CloseHandle(h);
    }
}

}  // namespace
