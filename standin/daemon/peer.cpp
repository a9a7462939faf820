#include "peer.h"

#include <algorithm>
#include <cerrno>
#include <grp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#ifndef SO_PEERPIDFD
#define SO_PEERPIDFD 77 // Linux 6.5; older kernels refuse it and we open one by pid
#endif

Peer::~Peer()
{
    if (m_pidfd >= 0)
        ::close(m_pidfd);
}

bool Peer::readUser(int fd)
{
    ucred cred{};
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0)
        return false;
    m_pid = cred.pid;
    m_uid = cred.uid;
    m_gid = cred.gid;
    m_privileged = cred.uid == 0 || cred.uid == ::geteuid();
    m_groups.resize(64);
    for (;;) {
        socklen_t size = socklen_t(m_groups.size() * sizeof(gid_t));
        if (::getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, m_groups.data(), &size) == 0) {
            m_groups.resize(size / sizeof(gid_t));
            break;
        }
        if (errno != ERANGE || size <= m_groups.size() * sizeof(gid_t)) {
            m_groups.clear(); // no groups known: no group's rights
            break;
        }
        m_groups.resize(size / sizeof(gid_t));
    }
    return true;
}

void Peer::readDetails(int fd)
{
    if (m_privileged)
        return;
    socklen_t len = sizeof m_pidfd;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERPIDFD, &m_pidfd, &len) != 0)
        m_pidfd = int(::syscall(SYS_pidfd_open, m_pid, 0));
}

bool Peer::inGroup(gid_t gid) const
{
    return gid == m_gid || std::find(m_groups.begin(), m_groups.end(), gid) != m_groups.end();
}

bool Peer::processAlive() const
{
    if (m_privileged)
        return true; // only asked about unprivileged peers
    if (m_pidfd < 0)
        return false;
    // A pidfd becomes readable when its process ends.
    pollfd p{m_pidfd, POLLIN, 0};
    return ::poll(&p, 1, 0) == 0;
}

bool lookupGroup(const std::string &name, gid_t *gid)
{
    std::vector<char> buffer(4096);
    for (;;) {
        group entry{};
        group *found = nullptr;
        int error = ::getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
        if (error == ERANGE && buffer.size() < (1u << 20)) {
            buffer.resize(buffer.size() * 2);
            continue;
        }
        if (error != 0 || !found)
            return false;
        *gid = found->gr_gid;
        return true;
    }
}
