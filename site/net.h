// The network of a site brought up with --net: the daemon's own network namespace is
// the site's switch, a bridge with one port per host; every host is a process of its
// own network, UTS, IPC, mount and process namespaces, whose eth0 is the other end of
// its port, and which runs the host's sshd. Nothing of it is in the machine's own
// network namespace, so nothing the hosts send can leave the site.
#pragma once

#include "views.h"

#include <string>
#include <sys/types.h>
#include <vector>

// A running host of a networked site.
struct HostProc {
    std::string host;
    pid_t pid = 0;  // the host's first process, as the daemon sees it
    int pidfd = -1; // its pidfd, through which commands enter the host's namespaces
};

// Runs argv (argv[0] a path) in a child and waits for it. Returns 0 when it exited 0;
// otherwise 1 with "argv[0]: what it said on standard error" (or why it did not run)
// in *err.
int run_program(const std::vector<std::string> &argv, std::string *err);

// Runs every argument list of argvs, width of them at a time, and waits for all.
// Returns 0 when each exited 0; otherwise 1 with the first failure's words in *err: the
// program and what it said on its standard error.
int run_programs(const std::vector<std::vector<std::string>> &argvs, std::size_t width,
                 std::string *err);

// Makes the calling process (the daemon) leave the machine's network namespace for a
// new one, the site's switch. Returns true, or false with a message in *err.
bool enter_switch(std::string *err);

// Starts every host of cfg (views already built): the host processes, their links to
// the bridge, addresses and sshd. Fills hosts in the order of cfg.hosts. Returns true
// once every sshd takes connections, or false with a message in *err.
bool start_hosts(const SiteConfig &cfg, std::vector<HostProc> *hosts, std::string *err);

// The address of the i-th host (from 0) of a networked site.
std::string host_address(std::size_t i);

// The switch's port of the i-th host.
std::string port_name(std::size_t i);

// In a forked child: enters the namespaces of host h, then forks once more, because a
// new process namespace holds only the children of who entered it. Returns in that
// grandchild; the child waits for it and ends with its exit status. Returns false (in
// the child) when the namespaces cannot be entered.
bool enter_host(const HostProc &h);
