// The control socket: one thread per client connection, one answer per request.
#pragma once

#include "manager.h"

#include <sys/types.h>

// Serves one connection until the client leaves or sends something that is
// not a request; then closes the handles it left open.
void serveClient(Manager &manager, int fd, uid_t peerUid);
