#include "internal/poll_loop.h"

#include <errno.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <vector>

namespace win32 {

bool PollLoop::StartLocked() {
    if (m_wakeFd >= 0)
        return true;
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0)
        return false;
    std::thread thread([this] { Run(); });
    m_threadId = thread.get_id();
    thread.detach();  // the loop lives as long as the process
    return true;
}

void PollLoop::Wake() {
    const uint64_t one = 1;
    ssize_t cb;
    do {
        cb = write(m_wakeFd, &one, sizeof(one));
    } while (cb < 0 && errno == EINTR);
}

uint64_t PollLoop::Watch(int fd, short events, Callback callback) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!StartLocked())
        return 0;
    const uint64_t id = m_nextId++;
    m_entries[id] = Entry{fd, events, std::make_shared<Callback>(std::move(callback))};
    Wake();
    return id;
}

void PollLoop::SetEvents(uint64_t id, short events) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_entries.find(id);
    if (it == m_entries.end() || it->second.events == events)
        return;
    it->second.events = events;
    Wake();
}

void PollLoop::Unwatch(uint64_t id) {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_entries.erase(id) == 0)
        return;
    Wake();
    if (!IsLoopThread())
        m_idle.wait(lock, [&] { return m_runningId != id; });
}

void PollLoop::Run() {
    std::vector<pollfd> fds;
    std::vector<uint64_t> ids;
    for (;;) {
        fds.clear();
        ids.clear();
        fds.push_back(pollfd{m_wakeFd, POLLIN, 0});
        ids.push_back(0);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (const auto& entry : m_entries) {
                fds.push_back(pollfd{entry.second.fd, entry.second.events, 0});
                ids.push_back(entry.first);
            }
        }
        if (poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR)
                continue;
            return;  // only a broken descriptor array gets here; nothing is left to serve
        }
        if (fds[0].revents & POLLIN) {
            uint64_t count;
            while (read(m_wakeFd, &count, sizeof(count)) > 0) {
            }
        }
        for (size_t i = 1; i < fds.size(); ++i) {
            if (!fds[i].revents)
                continue;
            std::shared_ptr<Callback> callback;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                auto it = m_entries.find(ids[i]);
                // Unwatched meanwhile, or the id's descriptor number now serves another entry.
                if (it == m_entries.end() || it->second.fd != fds[i].fd)
                    continue;
                callback = it->second.callback;
                m_runningId = ids[i];
            }
            (*callback)(fds[i].revents);
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_runningId = 0;
            }
            m_idle.notify_all();
        }
    }
}

}  // namespace win32
