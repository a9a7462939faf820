// What one local user may make the manager hold at a time: connections and the
// bytes of requests still arriving. Root and the daemon's own user are never
// counted, so nobody can crowd them out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <sys/types.h>

class ClientLimits
{
public:
    static constexpr int MaxConnectionsPerUser = 32;
    static constexpr int MaxConnections = 256; // of all unprivileged users together
    static constexpr size_t MaxPendingBytesPerUser = size_t(4) << 20;

    // A new connection of an unprivileged user; false when it is one too many.
    bool admit(uid_t uid);
    void leave(uid_t uid);
    // Room for a request of this many bytes that is still arriving; false when
    // the user's requests in flight would hold more than their share.
    bool reserve(uid_t uid, size_t bytes);
    void release(uid_t uid, size_t bytes);

private:
    struct Usage
    {
        int connections = 0;
        size_t pendingBytes = 0;
    };
    std::mutex m_mutex;
    std::map<uid_t, Usage> m_users;
    int m_connections = 0;
};
