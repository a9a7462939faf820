// The one wait of the manager's background work: it returns when a child
// process has ended, when a service's channel has something to read, or at the
// earliest deadline, and at no other time.
#pragma once

#include <chrono>
#include <string>
#include <vector>

class Watcher
{
public:
    using Clock = std::chrono::steady_clock;

    Watcher() = default;
    ~Watcher();
    Watcher(const Watcher &) = delete;
    Watcher &operator=(const Watcher &) = delete;

    // SIGCHLD must already be blocked in every thread: it is read from a descriptor.
    bool open(std::string *error);

    // A channel to report when it can be read, until it is removed (before it is
    // closed). Either may be called while another thread waits.
    bool add(int fd);
    void remove(int fd);

    struct Events
    {
        bool children = false;  // at least one child has ended: reap with WNOHANG
        std::vector<int> ready; // channels with something to read, or closed
    };
    // Blocks until something happened or the deadline passed (max(): no deadline).
    // Deadlines are only set by the waiting thread itself, so none can move while it waits.
    Events wait(Clock::time_point deadline);

private:
    int m_epoll = -1;
    int m_signals = -1;
};
