// A tiny service for the stand-in's tests. Its start arguments:
//   log=PATH       where it writes its pid, its arguments and the controls it gets
//                  (without one, the path in ECHO_LOG, for starts without arguments)
//   exit=N         exit code in its statuses
//   report=SOURCE  then reports "report from echo" to the event log under SOURCE
//   stop=crash     a stop ends the process at once, without reporting SERVICE_STOPPED
//   selfcheck=N    before it runs, reports N checkpoints and asks its own status after each,
//                  logging "stale K": how many answers did not yet show what it reported
// User control 200 ends the process at once, as a crash.
#include "svcmgr_api.h"

#include <cstdlib>
#include <cwchar>
#include <fstream>
#include <iostream>
#include <unistd.h>

namespace {

std::string g_log, g_args;
bool g_crashOnStop = false;
SERVICE_STATUS_HANDLE g_handle = nullptr;
SERVICE_STATUS g_status{
    SERVICE_WIN32_OWN_PROCESS, 0, SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE, 0, 0, 0, 0};

void log(const std::string &line)
{
    std::ofstream(g_log, std::ios::app) << line << std::endl;
}

void report(DWORD state)
{
    g_status.dwCurrentState = state;
    SetServiceStatus(g_handle, &g_status);
}

void controlHandler(DWORD control)
{
    log("control " + std::to_string(control));
    if (control == 200 || (control == SERVICE_CONTROL_STOP && g_crashOnStop))
        std::_Exit(1); // ends without reporting SERVICE_STOPPED
    report(control == SERVICE_CONTROL_STOP       ? SERVICE_STOPPED
           : control == SERVICE_CONTROL_PAUSE    ? SERVICE_PAUSED
           : control == SERVICE_CONTROL_CONTINUE ? SERVICE_RUNNING
                                                 : g_status.dwCurrentState);
}

void serviceMain(DWORD argc, LPWSTR *argv)
{
    if (const char *log = std::getenv("ECHO_LOG"))
        g_log = log;
    std::wstring source;
    int selfChecks = 0;
    for (DWORD i = 0; i < argc; ++i) {
        const std::string a(argv[i], argv[i] + std::wcslen(argv[i])); // ASCII in these tests
        g_args += (i ? " " : "") + a;
        if (a.rfind("log=", 0) == 0)
            g_log = a.substr(4);
        if (a.rfind("exit=", 0) == 0)
            g_status.dwWin32ExitCode = DWORD(std::atoi(a.c_str() + 5));
        g_crashOnStop = g_crashOnStop || a == "stop=crash";
        if (a.rfind("selfcheck=", 0) == 0)
            selfChecks = std::atoi(a.c_str() + 10);
        if (a.rfind("report=", 0) == 0)
            source = argv[i] + 7;
    }
    log("pid " + std::to_string(::getpid()) + "\nargs " + g_args);
    g_handle = RegisterServiceCtrlHandlerW(argv[0], controlHandler);
    if (selfChecks > 0) {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE self = OpenServiceW(manager, argv[0], SERVICE_QUERY_STATUS);
        int stale = 0;
        for (DWORD i = 1; i <= DWORD(selfChecks); ++i) {
            g_status.dwCheckPoint = i;
            report(SERVICE_START_PENDING);
            SERVICE_STATUS seen{};
            stale += !QueryServiceStatus(self, &seen) || seen.dwCheckPoint != i;
        }
        g_status.dwCheckPoint = 0;
        CloseServiceHandle(self);
        CloseServiceHandle(manager);
        log("stale " + std::to_string(stale));
    }
    if (!source.empty()) {
        HANDLE h = RegisterEventSourceW(nullptr, source.c_str());
        LPCWSTR text[] = {L"report from echo"};
        ReportEventW(h, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0, text, nullptr);
        DeregisterEventSource(h);
    }
    report(SERVICE_RUNNING);
}

} // namespace

int main()
{
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<LPWSTR>(L"echo"), serviceMain}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table)) { // not started by the manager
        std::cout << "dispatcher-failed " << GetLastError() << " register "
                  << !!RegisterServiceCtrlHandlerW(L"echo", controlHandler) << " " << GetLastError()
                  << std::endl;
    }
}
