// svcmgr-access: lets the members of a local group operate one service through
// the service manager, without being root: query it, start it, stop it, pause
// and continue it, interrogate it and send it user-defined controls. Installing,
// removing or re-pointing the service stays root's.
#include "svcmgr_api.h"
#include "wire.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

const char Usage[] = "Usage: svcmgr-access SERVICE GROUP            give GROUP's members the "
                     "operator rights on SERVICE\n"
                     "       svcmgr-access --remove SERVICE GROUP   take them away again\n"
                     "       svcmgr-access --show SERVICE           list the groups with rights "
                     "on SERVICE\n";

int fail(const std::string &what)
{
    const DWORD code = GetLastError();
    wchar_t text[256];
    SvcFormatErrorW(code, text, 256);
    std::fprintf(stderr, "svcmgr-access: %s: %s (error %u)\n", what.c_str(),
                 svcwire::toUtf8(text).c_str(), unsigned(code));
    return 1;
}

std::string rightNames(DWORD access)
{
    static const struct
    {
        DWORD right;
        const char *name;
    } names[] = {{SERVICE_QUERY_CONFIG, "query-config"},
                 {SERVICE_QUERY_STATUS, "query-status"},
                 {SERVICE_START, "start"},
                 {SERVICE_STOP, "stop"},
                 {SERVICE_PAUSE_CONTINUE, "pause-continue"},
                 {SERVICE_INTERROGATE, "interrogate"},
                 {SERVICE_USER_DEFINED_CONTROL, "user-control"}};
    std::string out;
    for (const auto &n : names)
        if (access & n.right)
            out += (out.empty() ? "" : " ") + std::string(n.name);
    return out;
}

int show(SC_HANDLE service, const std::string &name)
{
    DWORD needed = 0, count = 0;
    std::vector<SERVICE_GROUP_ACCESSW> buffer(1);
    while (!QueryServiceGroupAccessW(service, buffer.data(),
                                     DWORD(buffer.size() * sizeof buffer[0]), &needed, &count)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return fail(name);
        buffer.resize(needed / sizeof buffer[0] + 1);
    }
    for (DWORD i = 0; i < count; ++i)
        std::printf("%s\t0x%x\t%s\n", svcwire::toUtf8(buffer[i].lpGroupName).c_str(),
                    unsigned(buffer[i].dwAccess), rightNames(buffer[i].dwAccess).c_str());
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.size() == 1 && (args[0] == "-h" || args[0] == "--help")) {
        std::fputs(Usage, stdout);
        return 0;
    }
    const bool showing = args.size() == 2 && args[0] == "--show";
    const bool removing = args.size() == 3 && args[0] == "--remove";
    if (!showing && !removing && (args.size() != 2 || args[0].rfind("--", 0) == 0)) {
        std::fputs(Usage, stderr);
        return 2;
    }
    const std::string name = args[showing || removing ? 1 : 0];
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return fail("the service manager");
    SC_HANDLE service =
        OpenServiceW(manager, svcwire::fromUtf8(name).c_str(), showing ? READ_CONTROL : WRITE_DAC);
    if (!service)
        return fail(name);
    if (showing)
        return show(service, name);
    const std::string group = args.back();
    if (!SetServiceGroupAccessW(service, svcwire::fromUtf8(group).c_str(),
                                removing ? 0 : SERVICE_GROUP_OPERATOR_ACCESS))
        return fail(name + ", group " + group);
    return 0;
}
