// The control socket: one thread per client connection, one answer per request.
#pragma once

#include "clientlimits.h"
#include "manager.h"

#include <memory>

// Serves one connection until the client leaves, sends something that is not a
// request, or (an unprivileged client) stays idle, reaches the connection's
// lifetime or asks for more than its share; then closes the handles it left
// open and gives its place in the pool back. The session carries the peer.
void serveClient(Manager &manager, ClientLimits &limits, int fd, std::unique_ptr<Session> session,
                 ClientLimits::Pool pool);
