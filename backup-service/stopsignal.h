// A stop request that a worker sees both between steps and while it waits for a tool: a
// flag, and a descriptor that becomes readable once the request was made.
#pragma once

#include <atomic>

class StopSignal
{
public:
    StopSignal();
    ~StopSignal();

    // Safe from any thread; later calls change nothing.
    void request();
    bool requested() const { return flag; }
    // Readable after request(), for poll().
    int fd() const { return event; }

private:
    StopSignal(const StopSignal &) = delete;
    StopSignal &operator=(const StopSignal &) = delete;

    std::atomic<bool> flag{false};
    const int event;
};
