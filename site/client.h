// The client side of a site: running commands in host views, status, path and down.
#pragma once

#include "message.h"

#include <string>
#include <sys/types.h>
#include <vector>

// Sends r (an "exec" request) to site with in, out and err as the command's standard
// descriptors, then waits for the command. Returns its exit status (128 + signal when a
// signal ended it), or fail_status after printing "prog: reason" on standard error when
// the site is not up, refuses the request or goes down meanwhile.
int remote_exec(const char *prog, const char *site, const Request &r, int in, int out, int err,
                int fail_status);

// What a site says about itself.
struct SiteStatus {
    pid_t pid = 0; // the daemon, as this process sees it
    std::vector<std::string> hosts;
};

// Asks site for its status. Returns 0, or 1 after printing a message on standard error.
int site_status(const char *site, SiteStatus *st);

// The path through which this machine reaches path of host's view of a site whose
// daemon is pid.
std::string outside_path(pid_t pid, const std::string &host, const std::string &path);

// Shapes the link of host of a networked site: args "clear", or "shape", a rate as tc
// takes it ("-" for none) and a delay in milliseconds. Returns 0, or 1 after printing
// a message on standard error.
int site_link(const char *site, const std::string &host, const std::vector<std::string> &args);

// Ends site and waits until its daemon and every process of it are gone. Returns 0, or 1
// after printing a message on standard error.
int site_down(const char *site);

// rsh HOST COMMAND [ARGS...] inside a host view. Returns the exit status.
int rsh_main(int argc, char **argv);
