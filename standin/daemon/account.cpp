#include "account.h"

#include "wire.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <grp.h>
#include <pwd.h>
#include <unistd.h>

namespace {

// The local user an account names; false for another machine's or domain's account.
bool localUserOf(const std::string &account, std::string *user)
{
    const size_t slash = account.find('\\');
    if (slash == std::string::npos) {
        *user = account;
    } else {
        const std::string domain = account.substr(0, slash);
        char host[256] = {};
        ::gethostname(host, sizeof host - 1);
        if (domain != "." && svcwire::foldName(domain) != svcwire::foldName(host))
            return false;
        *user = account.substr(slash + 1);
    }
    return !user->empty() && user->find('\\') == std::string::npos &&
           user->find('/') == std::string::npos;
}

struct PasswdEntry
{
    uid_t uid = 0;
    gid_t gid = 0;
    std::string name, home;
};

// 0 when found; ENOENT when the system knows no such user; another errno when it could not say.
int lookupUser(const std::string &name, PasswdEntry *out)
{
    std::vector<char> buffer(4096);
    for (;;) {
        passwd entry{};
        passwd *found = nullptr;
        const int error = ::getpwnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0)
            return error;
        if (!found)
            return ENOENT;
        out->uid = entry.pw_uid;
        out->gid = entry.pw_gid;
        out->name = entry.pw_name;
        out->home = entry.pw_dir && *entry.pw_dir ? entry.pw_dir : "/";
        return 0;
    }
}

// The user's groups as initgroups would set them: the primary one and every group
// that lists the user, cut to what the kernel takes (initgroups cuts the same way).
std::vector<gid_t> groupsOf(const std::string &name, gid_t primary)
{
    long most = ::sysconf(_SC_NGROUPS_MAX);
    if (most <= 0)
        most = 65536;
    std::vector<gid_t> groups(64);
    for (;;) {
        int count = int(groups.size());
        if (::getgrouplist(name.c_str(), primary, groups.data(), &count) >= 0) {
            groups.resize(size_t(count));
            return groups;
        }
        if (count <= int(groups.size()))
            return {primary}; // the system could not say: the user's own group only
        if (groups.size() >= size_t(most))
            return groups; // the first ones that fit, as initgroups keeps them
        groups.resize(std::min(size_t(count), size_t(most)));
    }
}

} // namespace

bool isLocalSystem(const std::string &account)
{
    const std::string a = svcwire::foldName(account);
    return a.empty() || a == "localsystem" || a == ".\\localsystem" || a == "nt authority\\system";
}

bool accountExists(const std::string &account)
{
    if (isLocalSystem(account))
        return true;
    std::string user;
    PasswdEntry entry;
    return localUserOf(account, &user) && lookupUser(user, &entry) == 0;
}

ServiceAccount resolveAccount(const std::string &account)
{
    ServiceAccount out;
    if (isLocalSystem(account))
        return out; // the manager's own user, as every service ran before accounts
    std::string user;
    PasswdEntry entry;
    const int error = localUserOf(account, &user) ? lookupUser(user, &entry) : ENOENT;
    if (error != 0) {
        out.error = ERROR_SERVICE_LOGON_FAILED;
        out.why = error == ENOENT ? "the system knows no such user"
                                  : "the user could not be looked up (" +
                                        std::string(std::strerror(error)) + ")";
        return out;
    }
    out.user = entry.name;
    out.home = entry.home;
    out.uid = entry.uid;
    out.gid = entry.gid;
    const uid_t self = ::geteuid();
    if (self != 0) {
        // Only root can become someone else; its own user it is already.
        if (entry.uid != self) {
            out.error = ERROR_SERVICE_LOGON_FAILED;
            out.why = "the manager runs as uid " + std::to_string(self) +
                      ", not as root, and can start services only under its own account";
        }
        return out;
    }
    out.switchUser = true;
    out.groups = groupsOf(entry.name, entry.gid);
    return out;
}
