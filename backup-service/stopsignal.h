// A stop request that a worker sees both between steps and while it waits for a tool: a
// flag, and a handle that is signalled once the request was made (an eventfd that becomes
// readable, an event on Windows).
#pragma once

#include "nativefile.h"

#include <atomic>

class StopSignal
{
public:
    StopSignal();
    ~StopSignal();

    // Safe from any thread; later calls change nothing.
    void request();
    bool requested() const { return flag; }
    // Signalled after request(), for poll() or WaitForMultipleObjects().
    NativeHandle waitable() const { return event; }

private:
    StopSignal(const StopSignal &) = delete;
    StopSignal &operator=(const StopSignal &) = delete;

    std::atomic<bool> flag{false};
    const NativeHandle event;
};
