// Who is at the other end of a client connection, as the kernel recorded it
// when the client connected; never what the client says about itself.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

class Peer
{
public:
    Peer() = default;
    ~Peer();
    Peer(const Peer &) = delete;
    Peer &operator=(const Peer &) = delete;

    // The user (SO_PEERCRED) and its groups (SO_PEERGROUPS): cheap enough for
    // every connection, also the refused ones.
    bool readUser(int fd);
    // A hold on the process of an unprivileged peer, once admitted.
    void readDetails(int fd);

    pid_t pid() const { return m_pid; }
    uid_t uid() const { return m_uid; }
    // Root and the daemon's own user may do everything.
    bool privileged() const { return m_privileged; }
    bool inGroup(gid_t gid) const;
    // Whether the process that connected still runs, so that its pid still names
    // it and not a newer process that was given the same number.
    bool processAlive() const;

private:
    pid_t m_pid = 0;
    uid_t m_uid = 0;
    gid_t m_gid = 0;
    bool m_privileged = false;
    std::vector<gid_t> m_groups;
    int m_pidfd = -1;
};

// The id of a local group by its name; false when the system knows no such group.
bool lookupGroup(const std::string &name, gid_t *gid);
