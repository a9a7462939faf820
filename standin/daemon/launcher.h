// Starting a service's process: its registered program in a clean
// environment, in its own session, with a private channel to the manager.
#pragma once

#include "svcmgr_api.h"

#include <string>
#include <sys/types.h>

struct Launched
{
    pid_t pid = 0;
    int channel = -1;  // our end of the socket pair
    std::string token; // what the dispatcher must say to be believed
};

// Returns 0, or the last-error code of a program that could not be run.
// Variables named in SVCMGR_PASS_ENV are handed on from our own environment.
DWORD launchService(const std::string &binaryPath, const std::string &stateDir, Launched *out);

// Kills a service's process and whatever it started (its process group).
void killGroup(pid_t pid);
