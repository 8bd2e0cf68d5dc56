// session.h - one client connection of the loopback LPD server: reads the daemon
// command and carries it out.
#pragma once

#include "lpd/spool.h"
#include "lpd/wire.h"

namespace lpd {

// Serves the connection on `fd` (non-blocking; closed before returning).  `id` only
// tags the log lines.
void serve_connection(int fd, const Spool &spool, const Runtime &rt, unsigned long id);

} // namespace lpd
