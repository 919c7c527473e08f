#include "internal/poll_loop.h"

#include <errno.h>
#include <sys/epoll.h>
#include <unistd.h>

namespace win32 {

namespace {

epoll_event EpollEvent(uint64_t id, short events) {
    epoll_event event = {};
    if (events & POLLIN)
        event.events |= EPOLLIN;
    if (events & POLLOUT)
        event.events |= EPOLLOUT;
    event.data.u64 = id;
    return event;
}

short PollEvents(uint32_t events) {
    short revents = 0;
    if (events & EPOLLIN)
        revents |= POLLIN;
    if (events & EPOLLOUT)
        revents |= POLLOUT;
    if (events & EPOLLHUP)
        revents |= POLLHUP;
    if (events & EPOLLERR)
        revents |= POLLERR;
    return revents;
}

}  // namespace

bool PollLoop::StartLocked() {
    if (m_epollFd >= 0)
        return true;
    const int epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd < 0)
        return false;
    m_epollFd = epollFd;
    std::thread thread([this] { Run(); });
    m_threadId = thread.get_id();
    thread.detach();  // the loop lives as long as the process
    return true;
}

uint64_t PollLoop::Watch(int fd, short events, Callback callback) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!StartLocked())
        return 0;
    const uint64_t id = m_nextId++;
    epoll_event event = EpollEvent(id, events);
    if (epoll_ctl(m_epollFd, EPOLL_CTL_ADD, fd, &event) != 0)
        return 0;
    m_entries[id] = Entry{fd, events, std::make_shared<Callback>(std::move(callback))};
    return id;
}

void PollLoop::SetEvents(uint64_t id, short events) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_entries.find(id);
    if (it == m_entries.end() || it->second.events == events)
        return;
    it->second.events = events;
    epoll_event event = EpollEvent(id, events);
    epoll_ctl(m_epollFd, EPOLL_CTL_MOD, it->second.fd, &event);
}

void PollLoop::Unwatch(uint64_t id) {
    std::unique_lock<std::mutex> lock(m_mutex);
    auto it = m_entries.find(id);
    if (it == m_entries.end())
        return;
    // Fails harmlessly when the descriptor was closed already: that took it out of the set.
    epoll_ctl(m_epollFd, EPOLL_CTL_DEL, it->second.fd, nullptr);
    m_entries.erase(it);
    if (!IsLoopThread())
        m_idle.wait(lock, [&] { return m_runningId != id; });
}

void PollLoop::Dispatch(uint64_t id, short revents) {
    std::shared_ptr<Callback> callback;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        // Unwatched meanwhile: ids are never reused, so a stale event finds nothing.
        auto it = m_entries.find(id);
        if (it == m_entries.end())
            return;
        callback = it->second.callback;
        m_runningId = id;
    }
    (*callback)(revents);
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_runningId = 0;
    }
    m_idle.notify_all();
}

void PollLoop::Run() {
    epoll_event events[16];
    for (;;) {
        const int nReady = epoll_wait(m_epollFd, events, 16, -1);
        if (nReady < 0) {
            if (errno == EINTR)
                continue;
            return;  // only a broken epoll descriptor gets here; nothing is left to serve
        }
        for (int i = 0; i < nReady; ++i)
            if (const short revents = PollEvents(events[i].events))
                Dispatch(events[i].data.u64, revents);
    }
}

}  // namespace win32
