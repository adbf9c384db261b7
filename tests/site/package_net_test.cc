// The Debian package: made by cpack from this build, installed with dpkg into the views
// of a networked site, and a station session from the installed station to the
// installed agent through ssh.
#include "files.h"
#include "site.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

namespace {

TEST(Package, InstalledWithDpkgServesAStationSession) {
    std::string why;
    if (!testsite::net_available(&why))
        GTEST_SKIP() << "networked site unavailable: " << why;
    if (system("test -x /usr/bin/cpack && command -v dpkg >/dev/null") != 0)
        GTEST_SKIP() << "cpack or dpkg is not installed";
    std::string out = "/tmp/tarko-package-" + std::to_string(getpid());
    testproc::Options o;
    o.timeout_ms = 120000;
    auto r = testproc::run({"/usr/bin/cpack", "--config",
                            std::string(BIN_DIR) + "/../CPackConfig.cmake", "-G", "DEB", "-B", out},
                           o);
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    // The package's version is the one the programs say: both come from the project's.
    auto v = testproc::run({testproc::bin("tarko_station"), "--version"});
    ASSERT_EQ(v.out.rfind("tarko_station ", 0), 0u) << v.out;
    std::string version = v.out.substr(14, v.out.size() - 15);
    std::string deb = out + "/tarko_" + version + "_amd64.deb";

    // The views start with no agent of their own: what answers is the package's.
    testsite::Site site;
    testsite::UpOptions up;
    up.net = true;
    up.agent = "/bin/false";
    ASSERT_TRUE(site.up({"st", "a"}, up)) << site.error();
    for (auto h : {"st", "a"}) {
        ASSERT_TRUE(site.install(h, deb, "/srv/tarko.deb", 0644));
        r = site.exec(h, {"dpkg", "--no-triggers", "-i", "/srv/tarko.deb"}, o);
        ASSERT_EQ(r.status, 0) << h << ": " << r.out << r.err;
    }
    system(("rm -rf '" + out + "'").c_str());
    EXPECT_EQ(site.exec("a", {"dpkg-query", "-W", "-f", "${Status}", "tarko"}).out,
              "install ok installed");
    EXPECT_EQ(site.exec("a", {"dpkg-query", "-W", "-f", "${Version}", "tarko"}).out, version);
    EXPECT_EQ(site.exec("a", {"/usr/local/bin/simsite", "--version"}).out,
              "simsite " + version + "\n");
    EXPECT_TRUE(site.exists("a", "/usr/local/share/tarko/audium/deployApp.sh"));
    EXPECT_TRUE(site.exists("a", "/usr/local/bin/kpast"));

    ASSERT_TRUE(site.write_file("st", "/srv/work/prompt.txt", "from the package\n"));
    testproc::Options so;
    so.cwd = "/srv/work";
    r = site.exec(
        "st", {"/usr/local/bin/tarko_station", "--ssh", "-H", "a", "put", "prompt.txt", "/srv/p"},
        so);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(site.read_file("a", "/srv/p/prompt.txt"), "from the package\n");
    r = site.exec(
        "st", {"/usr/local/bin/tarko_station", "--ssh", "-H", "a", "sum", "/srv/p", "prompt.txt"},
        so);
    EXPECT_EQ(r.status, 0) << r.err;
}

} // namespace
