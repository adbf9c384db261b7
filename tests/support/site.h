// The simulated site for tests: hosts on this machine, each a throwaway copy-on-write
// view of the whole file system in a private mount namespace, with the agent under test
// at /usr/local/bin/tarko_remote2, the site's remote shell at /usr/bin/rsh and the Audium
// stand-in under /opt/audium. Programs with fixed paths run in a view unchanged; the test
// reads and writes the view's files through path(). Needs root; see simsite(1).
//
//   TEST(Relay, Push) {
//       testsite::Site site;
//       SITE_UP_OR_SKIP(site, {"a", "b"});
//       site.write_file("a", "/tmp/f", "data");
//       auto r = site.exec("a", {"/bin/sh", "-c", "rsh b cat /etc/simsite"});
//   }
#pragma once

#include "proc.h"

#include <gtest/gtest.h>

#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

namespace testsite {

// True when sites can be brought up here (root, namespaces and overlays allowed, simsite
// built); otherwise false with the reason in *why. Tried once per test program.
bool available(std::string *why);

struct UpOptions {
    std::string agent;  // the tarko_remote2 to install; default build/bin/tarko_remote2
    std::string audium; // directory of the Audium stand-in; default site/audium
    bool net = false;   // every host on the site's own network with a real sshd (--net)
};

// True when networked sites can be brought up here (sites are available, sshd and ip
// are installed); otherwise false with the reason in *why.
bool net_available(std::string *why);

class Site {
  public:
    Site() = default;
    ~Site() { down(); }
    Site(const Site &) = delete;
    Site &operator=(const Site &) = delete;

    // Brings up a site of these hosts under a name unique to this process. Returns false
    // with the reason in error() when it cannot. The site ends with this object, or with
    // the test process if that dies first.
    bool up(const std::vector<std::string> &hosts, const UpOptions &opt = {});

    // Ends the site: every process of it ends and every file of its views is gone.
    // Returns false when it was not up or did not go down in order.
    bool down();

    // Runs argv in host's view (argv[0] looked up in the host's PATH) with the host's
    // environment and opt.env / opt.unset over it; opt.cwd is a directory of the view
    // (default "/"). Status 255 with a message in err when the site refuses the request.
    testproc::Result exec(const std::string &host, const std::vector<std::string> &argv,
                          const testproc::Options &opt = {});

    // As exec, but interactive: c is a running `simsite exec`; its pipes are the
    // command's standard input and output. Killing c (testproc::reap) ends the command.
    bool spawn(const std::string &host, const std::vector<std::string> &argv, testproc::Child &c,
               const testproc::Options &opt = {});

    // The argument vector of `simsite exec` that runs argv in host's view, for callers
    // that start it themselves.
    std::vector<std::string> exec_argv(const std::string &host,
                                       const std::vector<std::string> &argv,
                                       const testproc::Options &opt = {}) const;

    // The outside path of path (absolute, as seen in host's view): ordinary file calls
    // on it read and change the view's file.
    std::string path(const std::string &host, const std::string &p) const;

    // Small file helpers on a view. write_file creates missing parent directories (0755)
    // and returns false on any failure; read_file returns "" when the file is missing;
    // install copies a file of this machine into the view with mode.
    bool write_file(const std::string &host, const std::string &p, const std::string &data,
                    mode_t mode = 0644) const;
    std::string read_file(const std::string &host, const std::string &p) const;
    bool exists(const std::string &host, const std::string &p) const;
    bool install(const std::string &host, const std::string &src, const std::string &p,
                 mode_t mode = 0755) const;

    // The process of host whose argument 0 is prog (the first one found, as this
    // machine numbers it), or 0.
    pid_t find_process(const std::string &host, const std::string &prog) const;

    const std::string &name() const { return name_; }
    pid_t pid() const { return pid_; } // the site daemon; 0 when not up
    const std::string &error() const { return error_; }

  private:
    std::string name_, error_;
    pid_t pid_ = 0;
    testproc::Child starter_; // `simsite up -f`, the daemon's parent, which reaps it
    std::vector<std::pair<std::string, std::string>> roots_; // host, outside root
};

// Path of the simsite program.
std::string simsite();

} // namespace testsite

// Skips the test with the reason when sites are unavailable here; fails it when the
// site does not come up.
#define NET_SITE_UP_OR_SKIP(site, hosts)                                                           \
    do {                                                                                           \
        std::string site_why_;                                                                     \
        if (!testsite::net_available(&site_why_))                                                  \
            GTEST_SKIP() << "networked site unavailable: " << site_why_;                           \
        testsite::UpOptions site_opt_;                                                             \
        site_opt_.net = true;                                                                      \
        ASSERT_TRUE((site).up(hosts, site_opt_)) << (site).error();                                \
    } while (0)

#define SITE_UP_OR_SKIP(site, ...)                                                                 \
    do {                                                                                           \
        std::string site_why_;                                                                     \
        if (!testsite::available(&site_why_))                                                      \
            GTEST_SKIP() << "simulated site unavailable: " << site_why_;                           \
        ASSERT_TRUE((site).up(__VA_ARGS__)) << (site).error();                                     \
    } while (0)
