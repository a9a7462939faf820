// Runs one service-manager call and prints its result, so that tests can make
// the call as another user:  svcmgrclient <operation> [arguments]
//   open-manager ACCESS | open-service NAME ACCESS | query-status NAME |
//   query-config NAME | start NAME [ARGS...] | control NAME CODE |
//   create NAME PATH | delete NAME
// Prints "result=R error=E" and, where there is one, "state=S".
#include "svcmgr_api.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::wstring wide(const char *s)
{
    std::wstring w;
    for (; *s; ++s)
        w += wchar_t(static_cast<unsigned char>(*s));
    return w;
}

int print(bool result, long state = -1)
{
    DWORD error = GetLastError();
    std::printf("result=%d error=%u", result ? 1 : 0, unsigned(error));
    if (state >= 0)
        std::printf(" state=%ld", state);
    std::printf("\n");
    return result ? 0 : 1;
}

DWORD number(const char *s)
{
    return DWORD(std::strtoul(s, nullptr, 0));
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 3) {
        std::fprintf(stderr, "usage: svcmgrclient <operation> <arguments>\n");
        return 2;
    }
    const std::string op = argv[1];
    if (op == "open-manager") {
        SC_HANDLE m = OpenSCManagerW(nullptr, nullptr, number(argv[2]));
        return print(m != nullptr);
    }
    const bool create = op == "create";
    SC_HANDLE m = OpenSCManagerW(nullptr, nullptr, create ? SC_MANAGER_CREATE_SERVICE : 0);
    if (!m)
        return print(false);
    const std::wstring name = wide(argv[2]);
    if (create) {
        if (argc < 4)
            return 2;
        const std::wstring path = wide(argv[3]);
        SC_HANDLE s =
            CreateServiceW(m, name.c_str(), nullptr, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                           SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL, path.c_str(), nullptr,
                           nullptr, nullptr, nullptr, nullptr);
        return print(s != nullptr);
    }
    DWORD wanted = 0;
    if (op == "open-service")
        wanted = argc > 3 ? number(argv[3]) : 0;
    else if (op == "query-status")
        wanted = SERVICE_QUERY_STATUS;
    else if (op == "query-config")
        wanted = SERVICE_QUERY_CONFIG;
    else if (op == "start")
        wanted = SERVICE_START;
    else if (op == "control")
        wanted = SERVICE_STOP | SERVICE_PAUSE_CONTINUE | SERVICE_INTERROGATE |
                 SERVICE_USER_DEFINED_CONTROL;
    else if (op == "delete")
        wanted = DELETE;
    else
        return 2;
    SC_HANDLE s = OpenServiceW(m, name.c_str(), wanted);
    if (!s || op == "open-service")
        return print(s != nullptr);
    if (op == "query-status") {
        SERVICE_STATUS st{};
        bool ok = QueryServiceStatus(s, &st);
        return print(ok, ok ? long(st.dwCurrentState) : -1);
    }
    if (op == "query-config") {
        DWORD needed = 0;
        std::vector<char> buf(8192);
        return print(QueryServiceConfigW(s, reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buf.data()),
                                         DWORD(buf.size()), &needed));
    }
    if (op == "start") {
        std::vector<std::wstring> args;
        for (int i = 3; i < argc; ++i)
            args.push_back(wide(argv[i]));
        std::vector<LPCWSTR> ptrs;
        for (const std::wstring &a : args)
            ptrs.push_back(a.c_str());
        return print(StartServiceW(s, DWORD(ptrs.size()), ptrs.data()));
    }
    if (op == "control") {
        if (argc < 4)
            return 2;
        SERVICE_STATUS st{};
        bool ok = ControlService(s, number(argv[3]), &st);
        return print(ok, long(st.dwCurrentState));
    }
    return print(DeleteService(s));
}
