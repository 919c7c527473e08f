// IOCLASSLIB_* settings whose value the layer cannot use: each is said once on standard
// error, with what is done instead, however often the setting is read; a usable value
// says nothing.
#include <winsock2.h>

#include <gtest/gtest.h>
#include <hidsdi.h>
#include <setupapi.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "ScopedEnv.h"
#include "TcpTestPeer.h"
#include "TempFiles.h"
#include "internal/real_devices.h"
#include "usbio_api.h"

namespace {

size_t Count(const std::string& text, const std::string& part) {
    size_t n = 0;
    for (size_t pos = 0; (pos = text.find(part, pos)) != std::string::npos; pos += part.size())
        ++n;
    return n;
}

// Connects once to a loopback port that nothing listens on: refused at once, whatever the
// connect time-out.
void ConnectOnce() {
    WSADATA data;
    ASSERT_EQ(0, WSAStartup(MAKEWORD(1, 1), &data));
    SOCKET s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(tcp_test::UnusedLoopbackPort());
    EXPECT_EQ(SOCKET_ERROR, connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
    closesocket(s);
    WSACleanup();
}

// Lists an interface class through SetupAPI, as the ports do.
void ListInterfaces(const GUID& guid) {
    HDEVINFO hList = SetupDiGetClassDevsA(&guid, NULL, NULL, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(INVALID_HANDLE_VALUE, hList);
    SP_DEVICE_INTERFACE_DATA interfaceData = {};
    interfaceData.cbSize = sizeof(interfaceData);
    EXPECT_FALSE(SetupDiEnumDeviceInterfaces(hList, NULL, &guid, 0, &interfaceData));
    SetupDiDestroyDeviceInfoList(hList);
}

void ListHid() {
    GUID guid;
    HidD_GetHidGuid(&guid);
    ListInterfaces(guid);
}

void ListUsbio() { ListInterfaces(USBIO_DEVICE_INTERFACE_GUID); }

void AskRealDevices() { win32::RealDevicesEnabled(); }

TEST(SettingsReport, AnUnusableValueIsSaidOnceWithWhatIsDoneInstead) {
    testsupport::TempDir dir("settings-report");
    ASSERT_TRUE(testsupport::writeTextFile(dir.file("plain"), "not a socket"));
    ASSERT_EQ(0, mkfifo(dir.file("fifo").c_str(), 0600));
    // A socket file that no program listens on, as a crashed termsim leaves it.
    ASSERT_EQ(0, mknod(dir.file("dead.sock").c_str(), S_IFSOCK | 0600, 0));

    const struct {
        const char* name;
        std::string value;
        std::function<void()> read;
        std::string line;  // empty: nothing to say
    } rows[] = {
        {"IOCLASSLIB_CONNECT_TIMEOUT_MS", "-1", ConnectOnce,
         "IOCLASSLIB_CONNECT_TIMEOUT_MS=-1: not a whole number of milliseconds from 1 to 86400000; 21000 is "
         "used\n"},
        {"IOCLASSLIB_CONNECT_TIMEOUT_MS", "0", ConnectOnce, "IOCLASSLIB_CONNECT_TIMEOUT_MS=0: not a whole"},
        {"IOCLASSLIB_CONNECT_TIMEOUT_MS", "abc", ConnectOnce,
         "IOCLASSLIB_CONNECT_TIMEOUT_MS=abc: not a whole"},
        {"IOCLASSLIB_CONNECT_TIMEOUT_MS", "300ms", ConnectOnce, "IOCLASSLIB_CONNECT_TIMEOUT_MS=300ms: not"},
        {"IOCLASSLIB_CONNECT_TIMEOUT_MS", "1e3", ConnectOnce, "IOCLASSLIB_CONNECT_TIMEOUT_MS=1e3: not"},
        {"IOCLASSLIB_CONNECT_TIMEOUT_MS", "99999999999999999999", ConnectOnce, "=99999999999999999999: not"},
        {"IOCLASSLIB_CONNECT_TIMEOUT_MS", "86400000", ConnectOnce, ""},
        {"IOCLASSLIB_REAL_DEVICES", "garbage", AskRealDevices,
         "IOCLASSLIB_REAL_DEVICES=garbage: neither 0 nor 1; 1 is used: the machine's own devices are "
         "listed\n"},
        {"IOCLASSLIB_REAL_DEVICES", "0", AskRealDevices, ""},
        {"IOCLASSLIB_VIRTUAL_HID", dir.file("missing.sock"), ListHid,
         "IOCLASSLIB_VIRTUAL_HID=" + dir.file("missing.sock") +
             ": there is no such file; its virtual devices are not listed\n"},
        {"IOCLASSLIB_VIRTUAL_HID", dir.file("plain"), ListHid,
         dir.file("plain") + ": it is a regular file, not termsim's socket"},
        {"IOCLASSLIB_VIRTUAL_HID", dir.path(), ListHid,
         dir.path() + ": it is a directory, not termsim's socket"},
        {"IOCLASSLIB_VIRTUAL_HID", dir.file("fifo"), ListHid,
         dir.file("fifo") + ": it is a FIFO, not termsim's"},
        {"IOCLASSLIB_VIRTUAL_HID", dir.file("dead.sock"), ListHid,
         dir.file("dead.sock") + ": no program listens on it (has termsim ended?)"},
        {"IOCLASSLIB_VIRTUAL_USBIO", dir.file("dead.sock"), ListUsbio,
         "IOCLASSLIB_VIRTUAL_USBIO=" + dir.file("dead.sock") + ": no program listens on it"},
        {"IOCLASSLIB_VIRTUAL_USBIO", dir.file("plain"), ListUsbio,
         "IOCLASSLIB_VIRTUAL_USBIO=" + dir.file("plain") + ": it is a regular file"},
    };
    for (const auto& row : rows) {
        testsupport::ScopedEnv setting(row.name, row.value);
        testing::internal::CaptureStderr();
        row.read();
        row.read();
        const std::string err = testing::internal::GetCapturedStderr();
        if (row.line.empty())
            EXPECT_EQ(std::string::npos, err.find(row.name)) << row.name << "=" << row.value << ": " << err;
        else
            EXPECT_EQ(1u, Count(err, row.line)) << row.name << "=" << row.value << ": " << err;
    }
}

}  // namespace
