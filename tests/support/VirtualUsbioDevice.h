// Test helper: termsim's virtual USB device served inside the test process, on a thread of
// its own, with the test playing the device's side: it sees what the host wrote to the OUT
// endpoint, queues bytes for IN transfers, stalls the IN endpoint, holds the OUT endpoint's
// transfers or unplugs the device.
// In loopback mode everything written comes back on the IN endpoint as it arrived.
//
//   testsupport::VirtualUsbioDevice device;            // sets IOCLASSLIB_VIRTUAL_USBIO
//   ASSERT_TRUE(device.ok()) << device.error();
//   device.Reply({0x05, 0x05, 'a', 0x00, 0x61});
//   ... CUsbDriverPipe / CUSBPort against it ...
//   EXPECT_EQ(expected, device.Received());
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ScopedEnv.h"
#include "UsbioTransport.h"

namespace testsupport {

class VirtualUsbioDevice {
public:
    explicit VirtualUsbioDevice(termsim::UsbioOptions options = termsim::UsbioOptions(),
                                bool bLoopback = false)
        : m_loopback(bLoopback) {
        static std::atomic<int> s_count(0);
        if (options.socketPath.empty()) {
            const char* folder = getenv("TMPDIR");
            options.socketPath = std::string(folder && *folder ? folder : "/tmp") + "/kp-usbio-" +
                                 std::to_string(getpid()) + "-" + std::to_string(s_count++) + ".sock";
        }
        m_transport.reset(new termsim::UsbioTransport(options));
        if (!m_transport->open(m_error))
            return;
        m_env.reset(new ScopedEnv("IOCLASSLIB_VIRTUAL_USBIO", m_transport->socketPath()));
        m_thread = std::thread([this] { Run(); });
    }
    ~VirtualUsbioDevice() {
        m_stop = true;
        if (m_thread.joinable())
            m_thread.join();
    }
    VirtualUsbioDevice(const VirtualUsbioDevice&) = delete;
    VirtualUsbioDevice& operator=(const VirtualUsbioDevice&) = delete;

    bool ok() const { return m_error.empty(); }
    const std::string& error() const { return m_error; }

    // Queues bytes for the IN endpoint.
    void Reply(const std::vector<unsigned char>& bytes) {
        Post([this, bytes] { m_transport->write(bytes.data(), bytes.size()); });
    }
    void Stall() {
        Post([this] { m_transport->stall(); });
    }
    // While held, the OUT endpoint NAKs: writes wait until let go, or until cancelled.
    void HoldWrites(bool bHold) {
        Post([this, bHold] { m_transport->holdOut(bHold); });
    }
    void Unplug() {
        Post([this] { m_transport->disconnect(); });
    }
    // Everything the host has written to the OUT endpoint so far.
    std::vector<unsigned char> Received() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_received;
    }
    // Waits (bounded) until the host has written at least n bytes.
    bool WaitReceived(size_t n, int timeoutMs = 5000) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return m_received.size() >= n; });
    }

private:
    // Runs an action on the device's thread (the transport is not shared) and waits for it.
    void Post(std::function<void()> action) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_actions.push_back(std::move(action));
        const size_t target = ++m_posted;
        m_changed.wait_for(lock, std::chrono::seconds(5), [&] { return m_done >= target; });
    }

    void Run() {
        std::vector<unsigned char> buffer(8192);
        while (!m_stop) {
            pollfd p = {m_transport->pollFd(), POLLIN, 0};
            poll(&p, 1, 5);
            std::string peer;
            m_transport->accept(peer);
            size_t got = 0;
            while (m_transport->read(buffer.data(), buffer.size(), got) ==
                   termsim::Transport::ReadResult::Data) {
                {
                    std::lock_guard<std::mutex> lock(m_mutex);
                    m_received.insert(m_received.end(), buffer.begin(), buffer.begin() + got);
                }
                m_changed.notify_all();
                if (m_loopback)
                    m_transport->write(buffer.data(), got);
            }
            std::vector<std::function<void()>> actions;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                actions.swap(m_actions);
            }
            for (auto& action : actions) {
                action();
                std::lock_guard<std::mutex> lock(m_mutex);
                ++m_done;
            }
            if (!actions.empty())
                m_changed.notify_all();
        }
    }

    bool m_loopback;
    std::string m_error;
    std::unique_ptr<termsim::UsbioTransport> m_transport;
    std::unique_ptr<ScopedEnv> m_env;
    std::thread m_thread;
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<unsigned char> m_received;
    std::vector<std::function<void()>> m_actions;
    size_t m_posted = 0;
    size_t m_done = 0;
};

}  // namespace testsupport
