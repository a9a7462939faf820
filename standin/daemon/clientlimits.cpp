#include "clientlimits.h"

bool ClientLimits::admit(uid_t uid)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Usage &u = m_users[uid];
    if (u.connections >= MaxConnectionsPerUser || m_connections >= MaxConnections) {
        if (u.connections == 0)
            m_users.erase(uid);
        return false;
    }
    ++u.connections;
    ++m_connections;
    return true;
}

void ClientLimits::leave(uid_t uid)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_connections;
    if (--m_users[uid].connections == 0)
        m_users.erase(uid);
}

bool ClientLimits::reserve(uid_t uid, size_t bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Usage &u = m_users[uid];
    if (bytes > MaxPendingBytesPerUser - u.pendingBytes)
        return false;
    u.pendingBytes += bytes;
    return true;
}

void ClientLimits::release(uid_t uid, size_t bytes)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_users[uid].pendingBytes -= bytes;
}
