// The daemon's request loop.
#pragma once

#include "net.h"
#include "views.h"

#include <vector>

// Serves the site's socket listen_fd: runs commands in host views for "exec" requests,
// answers "status", and returns on "down", on SIGTERM, SIGINT or SIGHUP, or when the
// owner process (owner_fd, a pidfd, or -1) ends. hosts are the running hosts of a
// networked site (empty otherwise), whose commands run in the host's namespaces.
// Returns the daemon's exit status (0).
int serve(const SiteConfig &cfg, int listen_fd, int owner_fd, const std::vector<HostProc> &hosts);
