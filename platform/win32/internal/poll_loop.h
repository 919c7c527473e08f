// One poll thread for a device family, as Wine's udev bus loop has it: the family's monitor
// descriptor and the descriptors of its open devices, in one epoll set. The thread starts
// with the first descriptor watched and runs for the life of the process.
//
// Callbacks run on the loop thread, one at a time, with no lock of the loop held: a
// callback may Watch, SetEvents and Unwatch, its own descriptor included. A descriptor that
// reports POLLHUP or POLLERR keeps reporting it: its callback must Unwatch it.
#pragma once

#include <poll.h>
#include <stdint.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <thread>

namespace win32 {

class PollLoop {
public:
    typedef std::function<void(short revents)> Callback;

    PollLoop() = default;
    PollLoop(const PollLoop&) = delete;
    PollLoop& operator=(const PollLoop&) = delete;

    // Watches fd for `events` (POLLIN, POLLOUT; POLLHUP and POLLERR always). Returns an id
    // for SetEvents and Unwatch, or 0 with errno set when the loop could not start or the
    // descriptor cannot be watched.
    uint64_t Watch(int fd, short events, Callback callback);
    void SetEvents(uint64_t id, short events);
    // When Unwatch returns, the callback is not running and never runs again, unless
    // Unwatch was called from that callback itself. The descriptor is not closed.
    void Unwatch(uint64_t id);

    bool IsLoopThread() const { return std::this_thread::get_id() == m_threadId; }

private:
    struct Entry {
        int fd;
        short events;
        std::shared_ptr<Callback> callback;
    };

    bool StartLocked();
    void Run();
    void Dispatch(uint64_t id, short revents);

    std::mutex m_mutex;
    std::condition_variable m_idle;
    std::map<uint64_t, Entry> m_entries;
    uint64_t m_nextId = 1;
    uint64_t m_runningId = 0;
    int m_epollFd = -1;
    std::thread::id m_threadId;
};

}  // namespace win32
