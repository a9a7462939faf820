// A tiny service for the stand-in's tests. It reports its statuses as asked by
// its start arguments and writes what it sees to the file named by "log=PATH":
//   log=PATH      where to write (default: beside the program, as <program>.log)
//   exit=N        exit code in SERVICE_STOPPED
//   pending       never reports RUNNING     slowstop=MS stop takes MS milliseconds
//   nostop        keeps running after SERVICE_STOPPED
//   nopause       accepts only STOP         shutdown    accepts SHUTDOWN too
//   quickexit     ends the process right after reporting SERVICE_STOPPED
// User control 200 kills the process, 201 makes the handler sleep for a minute.
#include "svcmgr_api.h"

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

std::mutex g_mutex;
std::string g_logPath;
SERVICE_STATUS_HANDLE g_handle = nullptr;
SERVICE_STATUS g_status{};
std::thread::id g_dispatcherThread;
bool g_pending = false, g_noStop = false, g_noPause = false, g_shutdown = false;
bool g_quickExit = false;
int g_slowStopMs = 0;
DWORD g_exitCode = 0;

std::string narrow(const wchar_t *s)
{
    std::string out;
    for (; s && *s; ++s)
        out += (*s < 128) ? char(*s) : '?';
    return out;
}

void log(const std::string &line)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_logPath.empty())
        return;
    if (FILE *f = std::fopen(g_logPath.c_str(), "a")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

void report(DWORD state)
{
    g_status.dwCurrentState = state;
    if (state == SERVICE_STOPPED)
        g_status.dwWin32ExitCode = g_exitCode;
    SetServiceStatus(g_handle, &g_status);
}

void controlHandler(DWORD control)
{
    const bool onDispatcher = std::this_thread::get_id() == g_dispatcherThread;
    log("control " + std::to_string(control) + " dispatcher-thread " +
        std::to_string(onDispatcher));
    switch (control) {
    case SERVICE_CONTROL_STOP:
        report(SERVICE_STOP_PENDING);
        if (g_slowStopMs > 0) {
            std::thread([] {
                std::this_thread::sleep_for(std::chrono::milliseconds(g_slowStopMs));
                report(SERVICE_STOPPED);
            }).detach();
        } else {
            report(SERVICE_STOPPED);
            if (g_quickExit)
                ::_exit(0);
        }
        break;
    case SERVICE_CONTROL_SHUTDOWN:
        report(SERVICE_STOPPED);
        break;
    case SERVICE_CONTROL_PAUSE:
        report(SERVICE_PAUSED);
        break;
    case SERVICE_CONTROL_CONTINUE:
        report(SERVICE_RUNNING);
        break;
    case 200:
        ::kill(::getpid(), SIGKILL);
        break;
    case 201:
        std::this_thread::sleep_for(std::chrono::seconds(60));
        break;
    default:
        report(g_status.dwCurrentState);
        break;
    }
}

void serviceMain(DWORD argc, LPWSTR *argv)
{
    std::string args;
    for (DWORD i = 0; i < argc; ++i) {
        std::string a = narrow(argv[i]);
        args += (i ? " " : "") + a;
        if (a.rfind("log=", 0) == 0)
            g_logPath = a.substr(4);
        else if (a == "pending")
            g_pending = true;
        else if (a == "nostop")
            g_noStop = true;
        else if (a == "nopause")
            g_noPause = true;
        else if (a == "shutdown")
            g_shutdown = true;
        else if (a == "quickexit")
            g_quickExit = true;
        else if (a.rfind("slowstop=", 0) == 0)
            g_slowStopMs = std::atoi(a.c_str() + 9);
        else if (a.rfind("exit=", 0) == 0)
            g_exitCode = DWORD(std::atoi(a.c_str() + 5));
    }
    if (g_logPath.empty()) {
        char self[4096] = {};
        ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
        if (n > 0)
            g_logPath = std::string(self, size_t(n)) + ".log";
    }
    log("pid " + std::to_string(::getpid()));
    log("args " + args);
    char cwd[4096] = {};
    log(std::string("cwd ") + (::getcwd(cwd, sizeof cwd) ? cwd : "?"));
    const char *mark = std::getenv("ECHO_MARK");
    log(std::string("env-mark ") + (mark ? mark : "-"));
    log(std::string("channel-env ") + (std::getenv("SVCMGR_CHANNEL_FD") ? "1" : "0"));

    SERVICE_TABLE_ENTRYW again[] = {{const_cast<LPWSTR>(L"x"), serviceMain}, {nullptr, nullptr}};
    BOOL second = StartServiceCtrlDispatcherW(again);
    log("second-dispatcher " + std::to_string(second) + " " + std::to_string(GetLastError()));

    g_handle = RegisterServiceCtrlHandlerW(argv[0], controlHandler);
    g_status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    g_status.dwControlsAccepted = SERVICE_ACCEPT_STOP |
                                  (g_noPause ? 0 : SERVICE_ACCEPT_PAUSE_CONTINUE) |
                                  (g_shutdown ? SERVICE_ACCEPT_SHUTDOWN : 0);
    report(SERVICE_START_PENDING);
    if (!g_pending)
        report(SERVICE_RUNNING);
}

} // namespace

int main()
{
    g_dispatcherThread = std::this_thread::get_id();
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(L"echo"), serviceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) {
        DWORD error = GetLastError();
        SERVICE_STATUS_HANDLE h = RegisterServiceCtrlHandlerW(L"echo", controlHandler);
        std::printf("dispatcher-failed %u register %d %u\n", unsigned(error), h != nullptr,
                    unsigned(GetLastError()));
        return 2;
    }
    log("dispatcher-returned");
    if (g_noStop)
        for (;;)
            ::pause();
    return 0;
}
