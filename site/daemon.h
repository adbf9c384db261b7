// The site daemon: brings the site up in new mount and process namespaces and serves
// the requests of its clients until it is told to go down.
#pragma once

#include "views.h"

// simsite up: starts the daemon and waits until the site is ready (or, in the
// foreground, until it ends). Prints the daemon's process id. Returns the exit status:
// 0 when the site is up (foreground: when it went down in order), 1 on failure with a
// message on standard error.
int site_up(const SiteConfig &cfg);
