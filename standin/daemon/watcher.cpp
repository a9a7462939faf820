#include "watcher.h"

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace {
// Channels are tagged with their descriptor; the signals with what no descriptor is.
constexpr uint64_t SignalTag = uint64_t(1) << 32;

bool watch(int epoll, int fd, uint64_t tag)
{
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = tag;
    return ::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev) == 0;
}
} // namespace

Watcher::~Watcher()
{
    for (int fd : {m_epoll, m_signals})
        if (fd >= 0)
            ::close(fd);
}

bool Watcher::open(std::string *error)
{
    sigset_t children;
    sigemptyset(&children);
    sigaddset(&children, SIGCHLD);
    m_epoll = ::epoll_create1(EPOLL_CLOEXEC);
    m_signals = ::signalfd(-1, &children, SFD_CLOEXEC | SFD_NONBLOCK);
    if (m_epoll < 0 || m_signals < 0 || !watch(m_epoll, m_signals, SignalTag)) {
        *error = std::string("cannot watch for ending services: ") + std::strerror(errno);
        return false;
    }
    return true;
}

bool Watcher::add(int fd)
{
    return watch(m_epoll, fd, uint64_t(uint32_t(fd)));
}

void Watcher::remove(int fd)
{
    ::epoll_ctl(m_epoll, EPOLL_CTL_DEL, fd, nullptr);
}

Watcher::Events Watcher::wait(Clock::time_point deadline)
{
    int timeoutMs = -1;
    if (deadline != Clock::time_point::max()) {
        // Rounded up: waking a little early would only mean waiting again.
        const auto left = deadline - Clock::now();
        const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
        timeoutMs = ms <= 0 ? 0 : ms > 3600000 ? 3600000 : int(ms);
    }
    epoll_event ready[32];
    int n = ::epoll_wait(m_epoll, ready, 32, timeoutMs);
    Events events;
    for (int i = 0; i < n; ++i) {
        const uint64_t tag = ready[i].data.u64;
        if (tag == SignalTag) {
            signalfd_siginfo info;
            while (::read(m_signals, &info, sizeof info) == ssize_t(sizeof info)) {
            }
            events.children = true;
        } else {
            events.ready.push_back(int(tag));
        }
    }
    return events;
}
