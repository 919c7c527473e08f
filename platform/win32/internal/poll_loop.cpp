#include "internal/poll_loop.h"

#include <errno.h>
#include <sys/epoll.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <vector>

namespace win32 {

namespace {

const uint64_t kTimerId = 0;  // watch ids start at 1

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

int64_t NowNs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000000 + now.tv_nsec;
}

}  // namespace

bool PollLoop::StartLocked() {
    if (m_epollFd >= 0)
        return true;
    const int epollFd = epoll_create1(EPOLL_CLOEXEC);
    const int timerFd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    epoll_event event = EpollEvent(kTimerId, POLLIN);
    if (epollFd < 0 || timerFd < 0 || epoll_ctl(epollFd, EPOLL_CTL_ADD, timerFd, &event) != 0) {
        const int nErrno = errno;
        if (epollFd >= 0)
            close(epollFd);
        if (timerFd >= 0)
            close(timerFd);
        errno = nErrno;
        return false;
    }
    m_epollFd = epollFd;
    m_timerFd = timerFd;
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
    m_entries[id] = Entry{fd, events, std::make_shared<Callback>(std::move(callback)), 0};
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

void PollLoop::CallAfter(uint64_t id, int nMilliseconds) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_entries.find(id);
    if (it == m_entries.end())
        return;
    it->second.callAt = NowNs() + (int64_t)nMilliseconds * 1000000;
    // A timer that fires earlier finds this entry not yet due and sets itself again.
    if (m_timerAt == 0 || it->second.callAt < m_timerAt)
        ArmTimerLocked(it->second.callAt);
}

void PollLoop::ArmTimerLocked(int64_t at) {
    itimerspec when = {};
    when.it_value.tv_sec = at / 1000000000;
    when.it_value.tv_nsec = at % 1000000000;
    if (timerfd_settime(m_timerFd, TFD_TIMER_ABSTIME, &when, nullptr) == 0)
        m_timerAt = at;
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

void PollLoop::OnTimer() {
    uint64_t expirations;
    while (read(m_timerFd, &expirations, sizeof(expirations)) > 0) {
    }
    std::vector<uint64_t> due;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const int64_t now = NowNs();
        int64_t next = 0;
        for (auto& entry : m_entries) {
            const int64_t at = entry.second.callAt;
            if (at == 0)
                continue;
            if (at <= now) {
                entry.second.callAt = 0;
                due.push_back(entry.first);
            } else if (next == 0 || at < next) {
                next = at;
            }
        }
        m_timerAt = 0;
        if (next != 0)
            ArmTimerLocked(next);
    }
    for (uint64_t id : due)
        Dispatch(id, 0);
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
        for (int i = 0; i < nReady; ++i) {
            if (events[i].data.u64 == kTimerId)
                OnTimer();
            else if (const short revents = PollEvents(events[i].events))  // 0 means CallAfter's call
                Dispatch(events[i].data.u64, revents);
        }
    }
}

}  // namespace win32
