// Names and fixed places of a simulated site, shared by the daemon and its clients.
#pragma once

#include <cstddef>
#include <string>

// Inside the daemon's private mount namespace a tmpfs is mounted on /run; the site lives
// in this directory of it, one subdirectory per host (hosts/H/{upper,work,root}).
constexpr const char *kSiteDir = "/run/simsite";

// The identity file in every host view: "site NAME\nhost HOST\n".
constexpr const char *kIdentityFile = "/etc/simsite";

// Where the Audium stand-in lives in a view, and the scripts within it.
constexpr const char *kAudiumHome = "/opt/audium";
constexpr const char *kAudiumScripts = "/opt/audium/admin/appScripts";

// Fixed paths of the programs under test in every view.
constexpr const char *kAgentPath = "/usr/local/bin/tarko_remote2";
constexpr const char *kRshPath = "/usr/bin/rsh";

// The query port of the Audium stand-in on every host of a networked site: the program
// (audium_queryd, installed from beside simsite) and the port it answers on.
constexpr const char *kQuerydPath = "/usr/local/sbin/audium_queryd";
constexpr const char *kQueryPort = "7010";

// The private subnet of every networked site, a /16: host i (from 0, in the order given
// to up) is kSubnet.(i / 254).(i % 254 + 1). Each site has a network of its own, so sites
// side by side reuse it.
constexpr const char *kSubnet = "10.91";

// Where the site's ssh keys are made, inside the daemon's own /run.
constexpr const char *kKeyDir = "/run/simsite/keys";

constexpr std::size_t kMaxName = 63;
constexpr int kMaxHosts = 500;

// True when name is 1 to 63 letters, digits, '-' and '.', not starting with '-' or '.':
// such a name is safe as a path component and as a host name.
bool valid_name(const char *name);

// The abstract unix socket address of site name (without the leading NUL byte).
std::string socket_name(const char *site);
