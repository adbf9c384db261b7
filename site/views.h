// The host views of a site: a tmpfs holding, per host, the upper and work directories
// of an overlay whose lower layer is the machine's own root, mounted as the host's root,
// with a /dev of its own (a few of the machine's devices, its own terminals), /proc and
// /sys inside and the site's programs installed.
#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

struct SiteConfig {
    std::string name;
    std::vector<std::string> hosts;
    std::string agent;         // the tarko_remote2 installed in every view
    std::string rsh;           // the program installed as /usr/bin/rsh (simsite itself)
    std::string audium;        // directory of the Audium stand-in scripts; may not exist
    bool audium_given = false; // audium came from --audium (and so must exist)
    std::string java_home;     // JAVA_HOME of every host
    std::string tz;            // TZ of every host when not empty
    bool net = false;          // every host its own network, with a real sshd (see net.h)
    bool foreground = false;
    pid_t owner = 0; // the site ends when this process ends (0: no owner)
};

// Builds the site in the calling process's own (private) mount namespace. The caller
// must already be in a new mount namespace. Returns true, or false with a message in *err.
bool build_site(const SiteConfig &cfg, std::string *err);

// The root of host's view, as the daemon sees it.
std::string host_root(const std::string &host);

// The environment a command of host starts with: a login-like base, the Audium and Java
// homes, TZ if the site has one.
std::vector<std::string> host_env(const SiteConfig &cfg, const std::string &host);

// Copies src to dst (created or truncated) and sets mode. Returns 0 or an errno value.
int copy_file(const char *src, const char *dst, mode_t mode);

// Creates the absolute directory dir and its missing parents with mode. Returns 0, or an
// errno value (ENOTDIR when something else stands at dir, ENAMETOOLONG for 254 bytes
// or more).
int make_dirs(const std::string &dir, mode_t mode);
