// The remote shell of a networked site: OpenSSH. One host key per host, one key of the
// site's root that every host accepts, every host's key known to every host, so that
// `/usr/bin/rsh HOST` (ssh in batch mode) works between any two hosts without a
// question and with strict host key checking.
#pragma once

#include "config.h"

#include <string>

// Files of sshd in every view of a networked site.
constexpr const char *kSshdConfig = "/etc/ssh/sshd_config";
constexpr const char *kSshdLog = "/var/log/sshd.log";
constexpr const char *kSshdPidFile = "/run/sshd.pid";

// Makes the keys of the site under kKeyDir: the root key and one host key per host,
// and the known hosts and /etc/hosts that every view gets.
// Returns true, or false with a message in *err.
bool make_keys(const SiteConfig &cfg, std::string *err);

// Installs into the view at root (the i-th host's) what ssh needs there: a fresh home
// and /run, sshd's configuration and host key, root's key, the known hosts, /etc/hosts,
// the rsh wrapper, and a root account that may log in by key. Returns true, or false
// with a message in *err.
bool install_ssh(const SiteConfig &cfg, std::size_t i, const std::string &root, std::string *err);
