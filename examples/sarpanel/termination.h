// Ends the panel's event loop cleanly when the session asks it to stop
// (SIGTERM, SIGINT, SIGHUP), so that its single-instance segment is released
// instead of being left for the next start to clear.
#pragma once

void quitOnTerminationSignals();
