#include "stopsignal.h"

#include <cstdint>
#include <sys/eventfd.h>
#include <unistd.h>

StopSignal::StopSignal() : event(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopSignal::~StopSignal()
{
    if (event >= 0)
        ::close(event);
}

void StopSignal::request()
{
    flag = true;
    const uint64_t one = 1;
    ssize_t ignored = ::write(event, &one, sizeof one);
    (void)ignored;
}
