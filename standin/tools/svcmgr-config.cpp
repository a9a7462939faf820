// svcmgr-config: root's tool to change what a registered service runs as and
// what the manager does when it fails, and to show both; it only calls the
// service manager's API, like the system's own tool does.
#include "svcmgr_api.h"
#include "wire.h"

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

const char Usage[] =
    "Usage: svcmgr-config SERVICE --account USER        run SERVICE as USER from its next start\n"
    "                                                    (LocalSystem: as root)\n"
    "       svcmgr-config SERVICE --restart-after SECONDS --reset-after SECONDS\n"
    "                                                    restart SERVICE that long after it\n"
    "                                                    failed (0: never); count failures\n"
    "                                                    anew after that long without one\n"
    "       svcmgr-config SERVICE --show                 print its account and failure "
    "actions\n";

int fail(const std::string &what)
{
    const DWORD code = GetLastError();
    wchar_t text[256];
    SvcFormatErrorW(code, text, 256);
    std::fprintf(stderr, "svcmgr-config: %s: %s (error %u)\n", what.c_str(),
                 svcwire::toUtf8(text).c_str(), unsigned(code));
    return 1;
}

int usage()
{
    std::fputs(Usage, stderr);
    return 2;
}

// Seconds as a DWORD, and not so many that their milliseconds would not fit one.
bool parseSeconds(const std::string &text, DWORD most, DWORD *out)
{
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos ||
        text.size() > 10)
        return false;
    const unsigned long long n = std::strtoull(text.c_str(), nullptr, 10);
    *out = DWORD(n);
    return n <= most;
}

// Local accounts are written ".\user", as the manager's own install registers them.
std::wstring accountName(const std::string &user)
{
    if (user.find('\\') != std::string::npos || svcwire::foldName(user) == "localsystem")
        return svcwire::fromUtf8(user);
    return L".\\" + svcwire::fromUtf8(user);
}

// A buffer for a query that says how much it needs, aligned for the records in it.
template <typename Query> bool queryInto(std::vector<unsigned long long> *buffer, Query query)
{
    DWORD needed = 0;
    buffer->assign(64, 0);
    while (!query(reinterpret_cast<LPBYTE>(buffer->data()), DWORD(buffer->size() * 8), &needed)) {
        if (GetLastError() != ERROR_INSUFFICIENT_BUFFER || needed <= buffer->size() * 8)
            return false;
        buffer->assign(needed / 8 + 1, 0);
    }
    return true;
}

bool queryConfig(SC_HANDLE service, std::vector<unsigned long long> *buffer)
{
    return queryInto(buffer, [&](LPBYTE b, DWORD size, LPDWORD needed) {
        return QueryServiceConfigW(service, reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(b), size,
                                   needed);
    });
}

bool queryFailureActions(SC_HANDLE service, std::vector<unsigned long long> *buffer)
{
    return queryInto(buffer, [&](LPBYTE b, DWORD size, LPDWORD needed) {
        return QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, b, size, needed);
    });
}

const char *actionName(DWORD type)
{
    switch (type) {
    case SC_ACTION_NONE:
        return "none";
    case SC_ACTION_RESTART:
        return "restart";
    case SC_ACTION_REBOOT:
        return "reboot";
    case SC_ACTION_RUN_COMMAND:
        return "run-command";
    default:
        return "unknown";
    }
}

int show(SC_HANDLE service, const std::string &name)
{
    std::vector<unsigned long long> config, actions;
    if (!queryConfig(service, &config) || !queryFailureActions(service, &actions))
        return fail(name);
    const auto *qc = reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(config.data());
    const auto *fa = reinterpret_cast<LPSERVICE_FAILURE_ACTIONSW>(actions.data());
    std::printf("account\t%s\n", svcwire::toUtf8(qc->lpServiceStartName).c_str());
    if (fa->dwResetPeriod == INFINITE)
        std::printf("reset-after\tnever\n");
    else
        std::printf("reset-after\t%u\n", unsigned(fa->dwResetPeriod));
    for (DWORD i = 0; i < fa->cActions; ++i)
        std::printf("action\t%s\t%u\n", actionName(fa->lpsaActions[i].Type),
                    unsigned(fa->lpsaActions[i].Delay));
    if (fa->lpRebootMsg)
        std::printf("reboot-message\t%s\n", svcwire::toUtf8(fa->lpRebootMsg).c_str());
    if (fa->lpCommand)
        std::printf("command\t%s\n", svcwire::toUtf8(fa->lpCommand).c_str());
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
    if (args.size() < 2 || args[0].rfind("--", 0) == 0)
        return usage();
    const std::string name = args[0];
    const bool showing = args.size() == 2 && args[1] == "--show";
    std::map<std::string, std::string> options;
    for (size_t i = 1; !showing && i < args.size(); i += 2) {
        const std::string &option = args[i];
        if ((option != "--account" && option != "--restart-after" && option != "--reset-after") ||
            i + 1 == args.size() || options.count(option))
            return usage();
        options[option] = args[i + 1];
    }
    DWORD restartAfter = 0, resetAfter = 0;
    const bool actions = options.count("--restart-after") || options.count("--reset-after");
    if ((options.count("--restart-after") &&
         !parseSeconds(options["--restart-after"], 0xFFFFFFFFu / 1000, &restartAfter)) ||
        (options.count("--reset-after") &&
         !parseSeconds(options["--reset-after"], 0xFFFFFFFFu, &resetAfter)) ||
        (options.count("--account") && options["--account"].empty()))
        return usage();

    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager)
        return fail("the service manager");
    DWORD access = SERVICE_QUERY_CONFIG;
    // Setting failure actions that restart the service needs the right to start it.
    if (!showing)
        access |= SERVICE_CHANGE_CONFIG | (actions ? SERVICE_START : 0);
    SC_HANDLE service = OpenServiceW(manager, svcwire::fromUtf8(name).c_str(), access);
    if (!service)
        return fail(name);
    if (showing)
        return show(service, name);

    if (options.count("--account")) {
        std::vector<unsigned long long> config;
        if (!queryConfig(service, &config))
            return fail(name);
        const std::wstring account = accountName(options["--account"]);
        // Only the local system account may interact with the desktop: a service
        // registered that way stops doing so when it gets an account of its own.
        DWORD type = reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(config.data())->dwServiceType;
        const bool system = svcwire::foldName(svcwire::toUtf8(account.c_str())) == "localsystem";
        type = (!system && (type & SERVICE_INTERACTIVE_PROCESS))
                   ? type & ~DWORD(SERVICE_INTERACTIVE_PROCESS)
                   : SERVICE_NO_CHANGE;
        if (!ChangeServiceConfigW(service, type, SERVICE_NO_CHANGE, SERVICE_NO_CHANGE, nullptr,
                                  nullptr, nullptr, nullptr, account.c_str(), nullptr, nullptr))
            return fail(name + ", account " + options["--account"]);
    }
    if (actions) {
        std::vector<unsigned long long> current;
        if (!queryFailureActions(service, &current))
            return fail(name);
        const auto *fa = reinterpret_cast<LPSERVICE_FAILURE_ACTIONSW>(current.data());
        // What is not given stays as it is.
        std::vector<SC_ACTION> list(fa->lpsaActions, fa->lpsaActions + fa->cActions);
        if (options.count("--restart-after")) {
            list.clear();
            if (restartAfter)
                list.push_back(SC_ACTION{SC_ACTION_RESTART, restartAfter * 1000});
        }
        SERVICE_FAILURE_ACTIONSW change{};
        change.dwResetPeriod = options.count("--reset-after") ? resetAfter : fa->dwResetPeriod;
        change.cActions = DWORD(list.size());
        // An empty array, not none: no actions at all is a change too.
        SC_ACTION none{};
        change.lpsaActions = list.empty() ? &none : list.data();
        if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &change))
            return fail(name + ", failure actions");
    }
    return 0;
}
