// Running commands in host views: environment, host name, statuses, descriptors.
#include "site.h"

#include <csignal>
#include <cstring>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace {

class Exec : public ::testing::Test {
  protected:
    testsite::Site site;

    // True when process pid of the site has ended and been reaped within 2 seconds.
    bool gone(std::string pid) {
        while (!pid.empty() && pid.back() == '\n')
            pid.pop_back();
        std::string wait = "for i in $(seq 100); do kill -0 " + pid +
                           " 2>/dev/null || exit 0; sleep 0.02; done; exit 1";
        return site.exec("a", {"/bin/sh", "-c", wait}).status == 0;
    }
};

TEST_F(Exec, CommandSeesItsHostNameRootAndEnvironment) {
    SITE_UP_OR_SKIP(site, {"ivr1", "ivr2"});
    auto r = site.exec("ivr2", {"/bin/sh", "-c",
                                "uname -n; pwd; echo $AUDIUM_HOME; echo $HOME; "
                                "test -x \"$JAVA_HOME/bin/jar\" && echo jar"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "ivr2\n/\n/opt/audium\n/root\njar\n");
}

TEST_F(Exec, EnvUnsetCwdAndArgv0Apply) {
    SITE_UP_OR_SKIP(site, {"a"});
    testproc::Options o;
    o.env = {"FOO=bar baz", "HOME=/tmp"};
    o.unset = {"AUDIUM_HOME"};
    o.cwd = "/etc";
    auto r = site.exec("a", {"/bin/sh", "-c", "echo \"$FOO|$HOME|${AUDIUM_HOME-none}|$(pwd)\""}, o);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "bar baz|/tmp|none|/etc\n");
    testproc::Options a0;
    a0.argv0 = "other-name";
    r = site.exec("a", {"/bin/sh", "-c", "echo $0"}, a0);
    EXPECT_EQ(r.out, "other-name\n");
}

TEST_F(Exec, InputAndOutputAreTheCallersOwn) {
    SITE_UP_OR_SKIP(site, {"a"});
    testproc::Options o;
    o.input = std::string(200000, 'x') + "end";
    auto r = site.exec("a", {"/bin/sh", "-c", "wc -c; echo oops >&2"}, o);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "200003\n");
    EXPECT_EQ(r.err, "oops\n");
}

TEST_F(Exec, StatusesPropagate) {
    SITE_UP_OR_SKIP(site, {"a"});
    EXPECT_EQ(site.exec("a", {"/bin/sh", "-c", "exit 0"}).status, 0);
    EXPECT_EQ(site.exec("a", {"/bin/sh", "-c", "exit 42"}).status, 42);
    EXPECT_EQ(site.exec("a", {"/bin/sh", "-c", "kill -TERM $$"}).status, 128 + SIGTERM);
    auto r = site.exec("a", {"no-such-command-here"});
    EXPECT_EQ(r.status, 127);
    EXPECT_NE(r.err.find("no-such-command-here"), std::string::npos) << r.err;
    r = site.exec("a", {"/etc/passwd"});
    EXPECT_EQ(r.status, 126);
    testproc::Options o;
    o.cwd = "/no/such/dir";
    EXPECT_EQ(site.exec("a", {"true"}, o).status, 126);
}

TEST_F(Exec, SiteRefusalsExit255) {
    SITE_UP_OR_SKIP(site, {"a"});
    auto r = site.exec("zz", {"true"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("zz: unknown host"), std::string::npos) << r.err;
    r = testproc::run({testsite::simsite(), "exec", site.name(), "../a", "--", "true"});
    EXPECT_EQ(r.status, 255);
    r = testproc::run({testsite::simsite(), "exec", "no-such-site-x", "a", "--", "true"});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("no site no-such-site-x"), std::string::npos) << r.err;
}

TEST_F(Exec, ClosedDescriptorsOfTheCallerReadAsEmpty) {
    SITE_UP_OR_SKIP(site, {"a"});
    // Standard error closed: the site must not hand its own socket to the command.
    auto argv = site.exec_argv("a", {"/bin/sh", "-c", "readlink /proc/self/fd/2"});
    std::vector<std::string> wrapped = {"/bin/sh", "-c", "exec \"$@\" 2>&-", "sh"};
    wrapped.insert(wrapped.end(), argv.begin(), argv.end());
    auto r = testproc::run(wrapped);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "/dev/null\n");
}

TEST_F(Exec, KillingTheClientEndsTheCommand) {
    SITE_UP_OR_SKIP(site, {"a"});
    testproc::Child c;
    ASSERT_TRUE(site.spawn("a", {"/bin/sh", "-c", "echo $$ > /tmp/pid; echo go; sleep 30"}, c));
    EXPECT_EQ(testproc::read_n(c.out, 3, 5000), "go\n");
    std::string pid = site.read_file("a", "/tmp/pid");
    ASSERT_FALSE(pid.empty());
    kill(c.pid, SIGTERM);
    EXPECT_EQ(testproc::wait(c, 5000), 128 + SIGTERM);
    // The command's output pipe closes once the whole command (sh and sleep) has ended.
    EXPECT_EQ(testproc::read_all(c.out, 5000), "");
    EXPECT_TRUE(gone(pid)) << "the command outlived its client";
    testproc::reap(c);
}

TEST_F(Exec, ACommandIgnoringSigtermIsKilledAfterTheGrace) {
    SITE_UP_OR_SKIP(site, {"a"});
    testproc::Child c;
    ASSERT_TRUE(site.spawn(
        "a", {"/bin/sh", "-c", "trap '' TERM; echo $$ > /tmp/pid; echo go; sleep 30"}, c));
    EXPECT_EQ(testproc::read_n(c.out, 3, 5000), "go\n");
    kill(c.pid, SIGKILL);
    testproc::wait(c, 5000);
    EXPECT_EQ(testproc::read_all(c.out, 5000), "") << "still running after the grace";
    EXPECT_TRUE(gone(site.read_file("a", "/tmp/pid")));
    testproc::reap(c);
}

// Sends raw bytes to the site's socket and returns the reply ("" when none).
std::string raw_request(const std::string &site, const std::string &bytes) {
    std::string name = "simsite." + site;
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::memcpy(a.sun_path + 1, name.data(), name.size());
    int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    if (connect(s, reinterpret_cast<sockaddr *>(&a), len) < 0) {
        close(s);
        return "";
    }
    send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL);
    std::string out = testproc::read_n(s, 4096, 5000);
    close(s);
    return out;
}

TEST_F(Exec, MalformedRequestsAreRefusedAndTheSiteCarriesOn) {
    SITE_UP_OR_SKIP(site, {"a"});
    EXPECT_EQ(raw_request(site.name(), std::string("Xjunk\0", 6)), "Emalformed request");
    EXPECT_EQ(raw_request(site.name(), "Cexec"), "Emalformed request"); // no terminator
    EXPECT_EQ(raw_request(site.name(), std::string("Cexec\0\0\0", 8)), "Emalformed request");
    EXPECT_EQ(raw_request(site.name(), std::string("Cexec\0Ha\0Atrue\0", 15)),
              "Ethe request lacks the standard descriptors");
    EXPECT_EQ(raw_request(site.name(), std::string("Cexec\0Ha\0", 9)), "Eno command given");
    EXPECT_EQ(raw_request(site.name(), std::string("Cfly\0", 5)), "Eunknown request fly");
    auto r = site.exec("a", {"/bin/sh", "-c", "echo still"});
    EXPECT_EQ(r.out, "still\n");
    // Too long for one request: refused by the client before anything runs.
    r = site.exec("a", {"/bin/echo", std::string(70000, 'x')});
    EXPECT_EQ(r.status, 255);
    EXPECT_NE(r.err.find("too long"), std::string::npos) << r.err;
}

TEST_F(Exec, ManyCommandsLeaveNoZombies) {
    SITE_UP_OR_SKIP(site, {"a", "b"});
    for (int i = 0; i < 20; i++)
        ASSERT_EQ(site.exec(i % 2 ? "a" : "b", {"/bin/sh", "-c", "true & exit 0"}).status, 0);
    auto r =
        site.exec("a", {"/bin/sh", "-c", "sleep 0.1; grep -l '^State:.*Z' /proc/[0-9]*/status"});
    EXPECT_EQ(r.out, "");
}

} // namespace
