// Opens the service manager, or a service, and prints the result, so that tests
// can make the call as another user:
//   svcmgrclient open-manager ACCESS | open-service NAME ACCESS | query-status NAME
// Prints "result=R error=E" and, when the service could be queried, "state=S".
#include "svcmgr_api.h"

#include <cstdlib>
#include <iostream>
#include <string>

int main(int argc, char **argv)
{
    const std::string op = argv[1], name = argc > 2 ? argv[2] : "";
    const bool query = op == "query-status";
    const DWORD access = query ? SERVICE_QUERY_STATUS : std::strtoul(argv[argc - 1], nullptr, 0);
    SC_HANDLE h = OpenSCManagerW(nullptr, nullptr, op == "open-manager" ? access : 0);
    if (op != "open-manager" && h)
        h = OpenServiceW(h, std::wstring(name.begin(), name.end()).c_str(), access);
    std::cout << "result=" << (h != nullptr) << " error=" << GetLastError();
    SERVICE_STATUS st{};
    if (query && h && QueryServiceStatus(h, &st))
        std::cout << " state=" << st.dwCurrentState;
    std::cout << std::endl;
}
