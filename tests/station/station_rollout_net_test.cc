// A rollout on a networked site whose check asks each host's query port, as the station
// does on a real site: quip to port 7010 of the host, answered by its Audium stand-in.
#include "proc.h"
#include "site.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

TEST(StationRolloutNet, ChecksThroughTheQueryPortOfEachHost) {
    testsite::Site site;
    NET_SITE_UP_OR_SKIP(site, std::vector<std::string>({"st", "a", "b"}));
    char tmpl[] = "/tmp/station_rollout_net_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string work = tmpl;
    for (const char *v : {"1", "2"}) {
        std::string jar = work + "/v" + v + ".jar";
        ASSERT_EQ(system((SOURCE_DIR "/examples/make-app-jar ivr1 " + jar + " " + v + " >/dev/null")
                             .c_str()),
                  0);
        ASSERT_TRUE(site.install("st", jar, std::string("/srv/v") + v + ".jar", 0644));
    }
    ASSERT_EQ(system(("rm -rf '" + work + "'").c_str()), 0);
    ASSERT_TRUE(site.install("st", testproc::bin("tarko_station"), "/usr/local/bin/tarko_station"));
    ASSERT_TRUE(site.install("st", testproc::bin("quip"), "/usr/local/bin/quip"));
    testproc::Options o;
    o.cwd = "/srv";
    o.timeout_ms = 60000;
    auto quip = [&](const char *host) {
        return site.exec("st", {"quip", std::string("7010@") + host, "version", "ivr1", "", "5"}, o)
            .out;
    };
    EXPECT_EQ(quip("a"), "ivr1 none\n");
    auto r =
        site.exec("st", {"tarko_station", "--ssh", "-H", "a,b", "deploy", "ivr1", "v1.jar"}, o);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(quip("b"), "ivr1 v1\n");
    r = site.exec("st",
                  {"tarko_station", "--ssh", "-H", "a,b", "rollout", "ivr1", "v2.jar", "--check",
                   "quip 7010@{host} version ivr1 \"\" 5 | grep -qx \"ivr1 v2\""},
                  o);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("updated                                       2  a,b"), std::string::npos)
        << r.out;
    EXPECT_EQ(quip("a"), "ivr1 v2\n");
    EXPECT_EQ(quip("b"), "ivr1 v2\n");
}

} // namespace
