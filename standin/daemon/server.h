// The control socket: one thread per client connection, one answer per request.
#pragma once

#include "clientlimits.h"
#include "manager.h"

#include <memory>

// Serves one connection until the client leaves, sends something that is not a
// request, or (an unprivileged client) stays idle or asks for more than its
// share; then closes the handles it left open. The session carries the peer.
void serveClient(Manager &manager, ClientLimits &limits, int fd, std::unique_ptr<Session> session);
