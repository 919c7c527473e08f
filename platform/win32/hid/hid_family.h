// The HID device family: the devices of every backend under one enumeration, their
// interface paths, and the handle CreateFileA gives for one (HidHandle), on which the
// HidD_* functions and ReadFile/WriteFile work.
#pragma once

#include <windows.h>

#include <deque>
#include <string>
#include <vector>

#include "hid/backend.h"
#include "hid/report_descriptor.h"
#include "internal/request_engine.h"

namespace win32 {

// {4D1E55B2-F16F-11CF-88CB-001111000030}, the HID device interface class.
extern const GUID kHidInterfaceGuid;

// Every present HID device, real ones first, interface paths filled. Also makes sure
// CreateFileA knows HID interface paths.
std::vector<HidDeviceRecord> EnumerateHidInterfaces();

// The handle's device, as enumeration found it when the handle was opened.
class HidHandle;
std::shared_ptr<HidHandle> LookupHidHandle(HANDLE h);

class HidHandle : public QueuedDevice {
public:
    HidHandle(const HidDeviceRecord& device, std::unique_ptr<HidConnection> connection, bool bOverlapped);
    ~HidHandle() override;

    // Starts serving the connection on the family's poll loop; false when it cannot.
    bool Start();

    const HidDeviceRecord& Device() const { return m_device; }
    // False when the report descriptor could not be parsed; then there are no caps.
    bool HasLayout() const { return m_bLayout; }
    const HidReportLayout& Layout() const { return m_layout; }

    // HidD_SetNumInputBuffers: how many input reports wait for a reader before the oldest
    // goes. False for a count the HID class driver refuses.
    bool SetInputBufferCount(unsigned long nCount);

    std::string DeviceInterfacePath() const override { return m_device.interfacePath; }
    void OnHandleClosed() override;

protected:
    void StartLocked(IoRequest& request) override;
    bool AbortLocked(IoRequest& request) override;

private:
    void OnPoll(short revents);
    bool ReceiveLocked();
    void DeliverLocked();
    void SendLocked();
    void LoseDeviceLocked();
    void WatchLocked();

    const HidDeviceRecord m_device;
    std::unique_ptr<HidConnection> m_connection;
    HidReportLayout m_layout;
    bool m_bLayout = false;
    uint64_t m_pollId = 0;
    bool m_bWantOut = false;
    // The write whose report the device has not taken yet (its number), or 0.
    uint64_t m_writeInFlight = 0;
    // Input reports nobody has asked for yet, in Windows form; the oldest go first when
    // more than m_inputCapacity pile up.
    std::deque<std::vector<uint8_t>> m_inputReports;
    size_t m_inputCapacity;
};

}  // namespace win32
