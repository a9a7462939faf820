// Starting a service's process: its registered program in a clean
// environment, in its own session, with a private channel to the manager.
#pragma once

#include "account.h"
#include "svcmgr_api.h"

#include <string>
#include <sys/types.h>

struct Launched
{
    pid_t pid = 0;
    int channel = -1;  // our end of the socket pair
    std::string token; // what the dispatcher must say to be believed
};

// Returns 0, or the last-error code of a program that could not be run (with
// ERROR_SERVICE_LOGON_FAILED, why says what the account's switch met). The process
// runs under the account with its groups, HOME, USER and LOGNAME. Variables named
// in SVCMGR_PASS_ENV are handed on from our own environment.
DWORD launchService(const std::string &binaryPath, const std::string &stateDir,
                    const ServiceAccount &account, Launched *out, std::string *why);

// Kills a service's process and whatever it started (its process group).
void killGroup(pid_t pid);
