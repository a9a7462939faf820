// The account a service runs under, as the system's manager names them:
// "LocalSystem" (or none) is the manager's own user, root on a real system;
// "user", ".\user" or "THISHOST\user" is that local user. Every look-up goes
// through NSS, which may ask a directory server: never call these with the
// manager's lock held.
#pragma once

#include "svcmgr_api.h"

#include <string>
#include <sys/types.h>
#include <vector>

// The local system account, in any of the ways it is written.
bool isLocalSystem(const std::string &account);

struct ServiceAccount
{
    DWORD error = ERROR_SUCCESS; // ERROR_SERVICE_LOGON_FAILED when it cannot be used
    std::string why;             // the reason, for the event log
    bool switchUser = false;     // false: the service runs as the manager itself
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups; // supplementary groups, as initgroups would set them
    std::string user;          // USER and LOGNAME; empty: not set
    std::string home;          // HOME
};

// Whether the system knows the user an account names (the local system account always).
bool accountExists(const std::string &account);

// Everything the launcher needs to start a process under the account.
ServiceAccount resolveAccount(const std::string &account);
