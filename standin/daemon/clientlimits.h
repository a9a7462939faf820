// What one local user may make the manager hold at a time: connections and the
// bytes of requests still arriving. Root and the daemon's own user are never
// counted, so nobody can crowd them out; and part of the connections is kept
// for users who hold rights on a service, so that plain users filling the rest
// cannot lock the operators out either.
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
    static constexpr int MaxConnections = 256;     // shared by all unprivileged users
    static constexpr int ReservedConnections = 64; // beyond them, for users with rights
    static constexpr size_t MaxPendingBytesPerUser = size_t(4) << 20;

    // Where an admitted connection was counted.
    enum class Pool { None, Shared, Reserved };

    // A new connection of an unprivileged user; Pool::None when it is one too many.
    // A user with rights takes a reserved place first, then a shared one.
    Pool admit(uid_t uid, bool holdsRights);
    void leave(uid_t uid, Pool pool);
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
    int m_shared = 0;
    int m_reserved = 0;
};
