// The host views of a site: a tmpfs holding, per host, the upper and work directories
// of an overlay whose lower layer is the machine's own root, mounted as the host's root,
// with a /dev of its own (a few of the machine's devices, its own terminals), /proc and
// /sys inside and the site's programs installed.
#pragma once

#include "config.h"

#include <string>
#include <sys/types.h>
#include <vector>

// Builds the site in the calling process's own (private) mount namespace. The caller
// must already be in a new mount namespace. Returns true, or false with a message in *err.
bool build_site(const SiteConfig &cfg, std::string *err);

// The root of host's view, as the daemon sees it.
std::string host_root(const std::string &host);

// The environment a command of host starts with: a login-like base, the Audium and Java
// homes, TZ if the site has one.
std::vector<std::string> host_env(const SiteConfig &cfg, const std::string &host);
