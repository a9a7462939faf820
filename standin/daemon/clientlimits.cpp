#include "clientlimits.h"

ClientLimits::Pool ClientLimits::admit(uid_t uid, bool holdsRights)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    Usage &u = m_users[uid];
    Pool pool = Pool::None;
    if (u.connections < MaxConnectionsPerUser) {
        if (holdsRights && m_reserved < ReservedConnections)
            pool = Pool::Reserved;
        else if (m_shared < MaxConnections)
            pool = Pool::Shared;
    }
    if (pool == Pool::None) {
        if (u.connections == 0)
            m_users.erase(uid);
        return pool;
    }
    ++u.connections;
    ++(pool == Pool::Reserved ? m_reserved : m_shared);
    return pool;
}

void ClientLimits::leave(uid_t uid, Pool pool)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (pool == Pool::None)
        return;
    --(pool == Pool::Reserved ? m_reserved : m_shared);
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
