// Where the manager lives and how long it waits; shared by the daemon and the library.
#pragma once

#include "svcmgr_api.h"

#include <cstdlib>
#include <string>

namespace svcconfig {

inline std::string stateDir()
{
    const char *dir = std::getenv(SVCMGR_DIR_ENV);
    return (dir && *dir) ? std::string(dir) : std::string(SVCMGR_DEFAULT_DIR);
}
inline std::string socketPath()
{
    return stateDir() + "/svcmgr.sock";
}
inline std::string databasePath()
{
    return stateDir() + "/services.db";
}
inline std::string eventLogPath()
{
    return stateDir() + "/events.log";
}
inline std::string lockPath()
{
    return stateDir() + "/svcmgrd.pid";
}

// A number from the environment within [least, most], else the fallback.
inline long envNumber(const char *name, long fallback, long least, long most)
{
    const char *v = std::getenv(name);
    if (!v || !*v)
        return fallback;
    char *end = nullptr;
    long n = std::strtol(v, &end, 10);
    return (end && *end == '\0' && n >= least && n <= most) ? n : fallback;
}
// Waits in milliseconds; tests shorten them through the environment.
inline int envMs(const char *name, int fallback)
{
    return int(envNumber(name, fallback, 1, 3600 * 1000 - 1));
}
inline int startTimeoutMs()
{
    return envMs("SVCMGR_START_TIMEOUT_MS", 30000);
}
inline int controlTimeoutMs()
{
    return envMs("SVCMGR_CONTROL_TIMEOUT_MS", 30000);
}
inline int stopGraceMs()
{
    return envMs("SVCMGR_STOP_GRACE_MS", 5000);
}
// How long services that accept it may take to stop when the daemon stops.
inline int shutdownTimeoutMs()
{
    return envMs("SVCMGR_SHUTDOWN_TIMEOUT_MS", 20000);
}

// How long an unprivileged client may keep a connection without a request.
inline int idleTimeoutMs()
{
    return envMs("SVCMGR_IDLE_TIMEOUT_MS", 60000);
}

// How long an unprivileged client may keep one connection, whatever it sends.
inline int connectionLifetimeMs()
{
    return envMs("SVCMGR_CONNECTION_LIFETIME_MS", 600000);
}

// The event log is rotated to events.log.1 before it grows past this size.
inline long eventLogMaxBytes()
{
    return envNumber("SVCMGR_EVENTLOG_MAX_BYTES", 4l << 20, 64l << 10, 1l << 30);
}

// What a service process finds in its environment.
constexpr const char *ChannelFdEnv = "SVCMGR_CHANNEL_FD";
constexpr const char *ChannelTokenEnv = "SVCMGR_CHANNEL_TOKEN";

} // namespace svcconfig
