// Makes one service manager call and prints its result, so that tests and
// benchmarks can make the call as another user or from a shell:
//   svcmgrclient open-manager ACCESS | query-status NAME
//   svcmgrclient create NAME PATH [START_TYPE] | delete NAME | start NAME [ARG...]
//   svcmgrclient control NAME CODE | report SOURCE TEXT [COUNT]
//   svcmgrclient set-account NAME ACCOUNT | open-many COUNT NAME
//   svcmgrclient hold COUNT BYTES | keep MS ping|work
// Prints "result=R error=E" and, when the service could be queried, "state=S".
// "open-many" opens COUNT handles of the service on one manager handle and
// keeps them: "opened=N error=E" (the first refusal's code, else 0).
// "hold" opens COUNT raw connections, each of which sends nothing (BYTES 0) or
// announces a full-size request and sends BYTES of it; prints "held=N", then
// for each line it reads, how many the manager still keeps open: "open=N".
// "keep" sends a ping (or a request that does something) every 200 ms on one
// raw connection for MS milliseconds: "closed after=T" when the manager closed
// it after T ms, else "open".
#include "svcmgr_api.h"
#include "wire.h"

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <vector>

namespace {

std::wstring wide(const std::string &s)
{
    return std::wstring(s.begin(), s.end()); // ASCII in the tests
}

DWORD number(const char *text)
{
    return DWORD(std::strtoul(text, nullptr, 0));
}

sockaddr_un managerAddress()
{
    const char *dir = std::getenv(SVCMGR_DIR_ENV);
    const std::string path = std::string(dir && *dir ? dir : SVCMGR_DEFAULT_DIR) + "/svcmgr.sock";
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    return addr;
}

int keep(int ms, bool ping)
{
    const sockaddr_un addr = managerAddress();
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0)
        return 1;
    // A status query on a handle nobody has: an answer (error 6), but work all the same.
    svcwire::Writer request;
    ping ? request.u32(svcwire::OpPing) : request.u32(svcwire::OpQueryStatus).u32(0);
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    std::string answer;
    while (Clock::now() - start < std::chrono::milliseconds(ms)) {
        if (!svcwire::sendFrame(fd, request.data()) || !svcwire::recvFrame(fd, &answer)) {
            const auto after =
                std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
            std::cout << "closed after=" << after.count() << std::endl;
            return 0;
        }
        ::usleep(200 * 1000);
    }
    std::cout << "open" << std::endl;
    return 0;
}

int openMany(int count, const std::string &name)
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    int opened = 0;
    DWORD error = manager ? 0 : GetLastError();
    for (int i = 0; manager && i < count; ++i) {
        if (OpenServiceW(manager, wide(name).c_str(), SERVICE_QUERY_STATUS))
            ++opened;
        else if (!error)
            error = GetLastError();
    }
    std::cout << "opened=" << opened << " error=" << error << std::endl;
    return 0;
}

int hold(int count, size_t bytes)
{
    const sockaddr_un addr = managerAddress();
    std::string announce(bytes ? 4 + bytes : 0, 'x');
    const uint32_t frame = 1u << 20;
    if (bytes)
        std::memcpy(&announce[0], &frame, 4);
    std::vector<int> fds;
    for (int i = 0; i < count; ++i) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0 || ::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) != 0) {
            if (fd >= 0)
                ::close(fd);
            continue;
        }
        // As much as the manager takes without waiting for it.
        size_t sent = 0;
        while (sent < announce.size()) {
            ssize_t n = ::send(fd, announce.data() + sent, announce.size() - sent,
                               MSG_DONTWAIT | MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += size_t(n);
        }
        fds.push_back(fd);
    }
    std::cout << "held=" << fds.size() << std::endl;
    std::string line;
    while (std::getline(std::cin, line)) {
        int open = 0;
        for (int fd : fds) {
            pollfd p{fd, POLLIN, 0};
            char c;
            if (::poll(&p, 1, 0) == 0 || ::recv(fd, &c, 1, MSG_DONTWAIT) > 0)
                ++open;
        }
        std::cout << "open=" << open << std::endl;
    }
    return 0;
}

// The right the framework asks for when it sends a control.
DWORD rightFor(DWORD control)
{
    switch (control) {
    case SERVICE_CONTROL_STOP:
        return SERVICE_STOP | SERVICE_QUERY_STATUS;
    case SERVICE_CONTROL_PAUSE:
    case SERVICE_CONTROL_CONTINUE:
        return SERVICE_PAUSE_CONTINUE;
    case SERVICE_CONTROL_INTERROGATE:
        return SERVICE_INTERROGATE;
    default:
        return SERVICE_USER_DEFINED_CONTROL;
    }
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3)
        return 2;
    const std::string op = argv[1], name = argv[2];
    if (op == "hold")
        return hold(std::atoi(argv[2]), argc > 3 ? size_t(std::atol(argv[3])) : 0);
    if (op == "keep")
        return keep(std::atoi(argv[2]), argc > 3 && std::string(argv[3]) == "ping");
    if (op == "open-many" && argc > 3)
        return openMany(std::atoi(argv[2]), argv[3]);
    if (op == "report") {
        HANDLE source = RegisterEventSourceW(nullptr, wide(name).c_str());
        const std::wstring text = wide(argc > 3 ? argv[3] : "");
        LPCWSTR strings[] = {text.c_str()};
        const int count = argc > 4 ? std::atoi(argv[4]) : 1;
        bool ok = source != nullptr;
        // All of them, refused or not: the result is the last one's.
        for (int i = 0; source && i < count; ++i)
            ok = ReportEventW(source, EVENTLOG_INFORMATION_TYPE, 0, 1, nullptr, 1, 0, strings,
                              nullptr);
        std::cout << "result=" << ok << " error=" << (ok ? 0 : GetLastError()) << std::endl;
        return 0;
    }

    // What the framework's controller asks for: to connect, and one right on the service.
    DWORD managerAccess = op == "query-status" ? 0 : SC_MANAGER_CONNECT;
    DWORD serviceAccess = SERVICE_QUERY_STATUS;
    if (op == "open-manager")
        managerAccess = number(argv[2]);
    else if (op == "create")
        managerAccess = SC_MANAGER_CREATE_SERVICE;
    else if (op == "delete")
        serviceAccess = DELETE;
    else if (op == "start")
        serviceAccess = SERVICE_START;
    else if (op == "set-account")
        serviceAccess = SERVICE_CHANGE_CONFIG;
    else if (op == "control" && argc > 3)
        serviceAccess = rightFor(number(argv[3]));

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, managerAccess);
    SC_HANDLE service = nullptr;
    bool ok = manager != nullptr;
    if (ok && op == "create") {
        service = CreateServiceW(
            manager, wide(name).c_str(), nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
            argc > 4 ? number(argv[4]) : SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
            wide(argc > 3 ? argv[3] : "").c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
        ok = service != nullptr;
    } else if (ok && op != "open-manager") {
        service = OpenServiceW(manager, wide(name).c_str(), serviceAccess);
        ok = service != nullptr;
    }
    SERVICE_STATUS st{};
    if (ok && op == "delete") {
        ok = DeleteService(service);
    } else if (ok && op == "start") {
        std::vector<std::wstring> args;
        for (int i = 3; i < argc; ++i)
            args.push_back(wide(argv[i]));
        std::vector<LPCWSTR> argp;
        for (const std::wstring &a : args)
            argp.push_back(a.c_str());
        ok = StartServiceW(service, DWORD(argp.size()), argp.data());
    } else if (ok && op == "set-account") {
        ok = ChangeServiceConfigW(service, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE,
                                  nullptr, nullptr, nullptr, nullptr,
                                  wide(argc > 3 ? argv[3] : "").c_str(), nullptr, nullptr);
    } else if (ok && op == "control") {
        ok = ControlService(service, number(argv[3]), &st);
    }
    std::cout << "result=" << ok << " error=" << (ok ? 0 : GetLastError());
    if (op == "query-status" && ok && QueryServiceStatus(service, &st))
        std::cout << " state=" << st.dwCurrentState;
    std::cout << std::endl;
}
