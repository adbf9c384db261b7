// The daemon's request loop.
#pragma once

#include "views.h"

// Serves the site's socket listen_fd: runs commands in host views for "exec" requests,
// answers "status", and returns on "down", on SIGTERM, SIGINT or SIGHUP, or when the
// owner process (owner_fd, a pidfd, or -1) ends. Returns the daemon's exit status (0).
int serve(const SiteConfig &cfg, int listen_fd, int owner_fd);
