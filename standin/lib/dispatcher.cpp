// Service side of the stand-in: the dispatcher, the control handler
// registration and status reports, over the private channel that svcmgrd
// gives the service process it launches.
#include "config.h"
#include "svcmgr_api.h"
#include "wire.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#define SVCAPI __attribute__((visibility("default")))

using svcwire::Reader;
using svcwire::Writer;

namespace {

struct Channel
{
    int fd = -1;
    std::string token;
    std::mutex writeMutex;
    std::atomic<bool> dispatcherCalled{false};
    std::atomic<bool> started{false};
    std::atomic<bool> stopped{false};
    std::atomic<LPHANDLER_FUNCTION> handler{nullptr};
    int wake[2] = {-1, -1};
};

Channel g_channel;

// Taken once when the library is loaded, and removed from the environment so
// that programs the service starts do not believe they were started by the manager.
void takeChannel()
{
    const char *fdText = std::getenv(svcconfig::ChannelFdEnv);
    const char *token = std::getenv(svcconfig::ChannelTokenEnv);
    if (fdText && token) {
        char *end = nullptr;
        long fd = std::strtol(fdText, &end, 10);
        struct stat st
        {
        };
        if (end && *end == '\0' && fd >= 0 && fd < 65536 && ::fstat(int(fd), &st) == 0 &&
            S_ISSOCK(st.st_mode)) {
            g_channel.fd = int(fd);
            g_channel.token = token;
            ::fcntl(g_channel.fd, F_SETFD, FD_CLOEXEC);
        }
    }
    ::unsetenv(svcconfig::ChannelFdEnv);
    ::unsetenv(svcconfig::ChannelTokenEnv);
}

// Runs at load time, after g_channel above has been constructed.
const bool g_channelTaken = (takeChannel(), true);

bool send(const Writer &msg)
{
    std::lock_guard<std::mutex> lock(g_channel.writeMutex);
    return svcwire::sendFrame(g_channel.fd, msg.data());
}

struct EntryCall
{
    LPSERVICE_MAIN_FUNCTIONW proc;
    DWORD argc;
    LPWSTR *argv;
};

void *runEntry(void *arg)
{
    EntryCall *call = static_cast<EntryCall *>(arg);
    call->proc(call->argc, call->argv);
    return nullptr;
}

// The manager went away: a service cannot outlive its manager's channel.
[[noreturn]] void channelLost()
{
    ::_exit(1);
}

} // namespace

extern "C" {

SVCAPI BOOL StartServiceCtrlDispatcherW(const SERVICE_TABLE_ENTRYW *lpServiceStartTable)
{
    if (g_channel.fd < 0) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return false;
    }
    if (!lpServiceStartTable || !lpServiceStartTable[0].lpServiceProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (g_channel.dispatcherCalled.exchange(true)) {
        SetLastError(ERROR_SERVICE_ALREADY_RUNNING);
        return false;
    }
    if (::pipe2(g_channel.wake, O_CLOEXEC) != 0) {
        SetLastError(ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
        return false;
    }
    if (!send(Writer().u32(svcwire::ChHello).str(g_channel.token).u32(uint32_t(::getpid()))))
        channelLost();

    std::string frame;
    uint32_t kind = 0, count = 0;
    if (!svcwire::recvFrame(g_channel.fd, &frame))
        channelLost();
    Reader start(frame);
    if (!start.u32(&kind) || kind != svcwire::ChStart || !start.u32(&count) || count > 4096)
        channelLost();
    // The arguments live as long as the process; the entry function may keep them.
    auto *args = new std::vector<std::wstring>;
    for (uint32_t i = 0; i < count; ++i) {
        std::string arg;
        if (!start.str(&arg))
            channelLost();
        args->push_back(svcwire::fromUtf8(arg));
    }
    auto *argv = new LPWSTR[args->size() + 1];
    for (size_t i = 0; i < args->size(); ++i)
        argv[i] = &(*args)[i][0];
    argv[args->size()] = nullptr;

    g_channel.started = true;
    auto *call = new EntryCall{lpServiceStartTable[0].lpServiceProc, DWORD(args->size()), argv};
    pthread_t entry;
    if (pthread_create(&entry, nullptr, runEntry, call) != 0)
        channelLost();
    pthread_detach(entry);
    if (!send(Writer().u32(svcwire::ChStarted)))
        channelLost();

    // Controls arrive one at a time; each runs through the handler on this thread.
    while (!g_channel.stopped) {
        pollfd fds[2] = {{g_channel.fd, POLLIN, 0}, {g_channel.wake[0], POLLIN, 0}};
        int n = ::poll(fds, 2, -1);
        if (n < 0 && errno == EINTR)
            continue;
        if (g_channel.stopped)
            break;
        if (!(fds[0].revents & (POLLIN | POLLHUP | POLLERR)))
            continue;
        uint32_t seq = 0, code = 0;
        if (!svcwire::recvFrame(g_channel.fd, &frame))
            channelLost();
        Reader control(frame);
        if (!control.u32(&kind) || kind != svcwire::ChControl || !control.u32(&seq) ||
            !control.u32(&code))
            channelLost();
        if (LPHANDLER_FUNCTION handler = g_channel.handler.load())
            handler(code);
        if (!send(Writer().u32(svcwire::ChControlDone).u32(seq)))
            channelLost();
    }
    return true;
}

SVCAPI SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(LPCWSTR lpServiceName,
                                                         LPHANDLER_FUNCTION lpHandlerProc)
{
    // One service per process: the name is not looked at.
    (void)lpServiceName;
    if (!g_channel.started) {
        SetLastError(ERROR_SERVICE_DOES_NOT_EXIST);
        return nullptr;
    }
    if (!lpHandlerProc) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    g_channel.handler = lpHandlerProc;
    return reinterpret_cast<SERVICE_STATUS_HANDLE>(&g_channel);
}

SVCAPI BOOL SetServiceStatus(SERVICE_STATUS_HANDLE hServiceStatus, LPSERVICE_STATUS lpServiceStatus)
{
    if (hServiceStatus != reinterpret_cast<SERVICE_STATUS_HANDLE>(&g_channel) ||
        !g_channel.started) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!lpServiceStatus) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return false;
    }
    std::lock_guard<std::mutex> lock(g_channel.writeMutex);
    // Once stopped, the service's status is final: a late report from another
    // thread must not make a stopped service look alive again.
    if (g_channel.stopped) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    const SERVICE_STATUS &s = *lpServiceStatus;
    Writer msg;
    msg.u32(svcwire::ChStatus).u32(s.dwServiceType).u32(s.dwCurrentState);
    msg.u32(s.dwControlsAccepted).u32(s.dwWin32ExitCode).u32(s.dwServiceSpecificExitCode);
    msg.u32(s.dwCheckPoint).u32(s.dwWaitHint);
    if (!svcwire::sendFrame(g_channel.fd, msg.data())) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return false;
    }
    if (s.dwCurrentState == SERVICE_STOPPED) {
        g_channel.stopped = true;
        char byte = 1;
        ssize_t ignored = ::write(g_channel.wake[1], &byte, 1);
        (void)ignored;
    }
    return true;
}

} // extern "C"
