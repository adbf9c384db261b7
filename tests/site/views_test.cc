// Host views: each host sees the whole machine through its own copy-on-write layer.
#include "site.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

TEST(Views, FileWrittenInOneHostIsInvisibleElsewhere) {
    testsite::Site site;
    SITE_UP_OR_SKIP(site, {"a", "b"});
    std::string probe = "/tmp/simsite-probe-" + std::to_string(getpid());
    auto r = site.exec("a", {"/bin/sh", "-c", "echo from-a > " + probe});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(site.read_file("a", probe), "from-a\n");
    EXPECT_FALSE(site.exists("b", probe));
    EXPECT_NE(access(probe.c_str(), F_OK), 0) << "the real machine must not see it";
    r = site.exec("b", {"cat", probe});
    EXPECT_NE(r.status, 0);
}

TEST(Views, OutsideWritesShowInsideTheView) {
    testsite::Site site;
    SITE_UP_OR_SKIP(site, {"a"});
    ASSERT_TRUE(site.write_file("a", "/zav/log/tarko/note", "x\n"));
    auto r = site.exec("a", {"cat", "/zav/log/tarko/note"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "x\n");
    struct stat st;
    EXPECT_NE(stat("/zav/log/tarko/note", &st), 0);
}

// A view's /dev is its own: a few devices of the machine, its own terminals and shm.
TEST(Views, PrivateDevWithOnlyTheCommonDevices) {
    testsite::Site site;
    SITE_UP_OR_SKIP(site, {"a"});
    auto r = site.exec("a", {"/bin/sh", "-c",
                             "stat -f -c %T /dev /dev/pts /dev/shm && ls /dev | tr '\\n' ' ' && "
                             "head -c 3 /dev/urandom | wc -c && test -c /dev/zero"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "tmpfs\ndevpts\ntmpfs\nfd full null ptmx pts random shm stderr stdin stdout "
                     "tty urandom zero 3\n");
}

TEST(Views, InstallsAgentRshIdentityAndAudium) {
    testsite::Site site;
    SITE_UP_OR_SKIP(site, {"a", "b"});
    std::string agent = testproc::bin("tarko_remote2");
    std::string real = site.read_file("a", "/usr/local/bin/tarko_remote2"), copy;
    FILE *f = fopen(agent.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        copy.append(buf, n);
    fclose(f);
    EXPECT_EQ(real, copy);
    EXPECT_TRUE(site.exists("b", "/usr/bin/rsh"));
    EXPECT_EQ(site.read_file("b", "/etc/simsite"), "site " + site.name() + "\nhost b\n");
    struct stat st;
    ASSERT_EQ(stat(site.path("a", "/opt/audium/admin/appScripts").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
}

} // namespace
