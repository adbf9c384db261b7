// tarko_station rollout over eight simulated hosts: steps and checks, the halt on a
// refusal or a failing check with the rollback of the hosts already done, a host that
// had no release withdrawn and one that cannot be rolled back, an interrupt and
// --resume, and --plan contacting nobody.
#include "files.h"
#include "proc.h"
#include "site.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <dirent.h>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class StationRollout : public ::testing::Test {
  protected:
    testsite::Site site;
    std::string work;
    const std::vector<std::string> hosts{"h1", "h2", "h3", "h4", "h5", "h6", "h7", "h8"};

    void SetUp() override {
        char tmpl[] = "/tmp/station_rollout_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        work = tmpl;
        SITE_UP_OR_SKIP(site, hosts);
        for (const char *v : {"1", "2"})
            ASSERT_EQ(system((SOURCE_DIR "/examples/make-app-jar ivr1 " + work + "/v" + v +
                              ".jar " + v + " >/dev/null")
                                 .c_str()),
                      0);
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf '" + work + "'").c_str()), 0); }

    std::string on_host(const std::vector<std::string> &argv) const {
        std::string t;
        for (auto &w : site.exec_argv("{host}", argv))
            t += (t.empty() ? "" : " ") + w;
        return t;
    }
    // A check through the stand-in's answer to the version query: "ivr1 vN" matches
    // pattern.
    std::string check(const std::string &pattern) const {
        return on_host({"/opt/audium/admin/appScripts/query.sh", "version", "ivr1"}) +
               " | grep -qx '" + pattern + "'";
    }
    testproc::Options options() const {
        testproc::Options opt;
        opt.cwd = work.c_str();
        opt.env = {"TARKO_AGENT=" + on_host({"/usr/local/bin/tarko_remote2"}),
                   "XDG_STATE_HOME=" + work + "/state"};
        opt.timeout_ms = 120000;
        return opt;
    }
    std::vector<std::string> argv(std::vector<std::string> args) const {
        args.insert(args.begin(), testproc::bin("tarko_station"));
        return args;
    }
    testproc::Result station(std::vector<std::string> args) const {
        return testproc::run(argv(std::move(args)), options());
    }
    std::string versions() {
        std::string all;
        for (auto &h : hosts) {
            auto r = site.exec(h, {"/opt/audium/admin/appScripts/query.sh", "version", "ivr1"});
            all += r.out.substr(r.out.size() > 5 ? 5 : 0, 2);
        }
        return all;
    }
    std::string state(const std::string &name) const {
        return testfiles::read_file(work + "/state/tarko/" + name);
    }
    std::vector<std::string> listing(const std::string &dir) const {
        std::vector<std::string> names;
        if (DIR *d = opendir((work + "/state/tarko/" + dir).c_str())) {
            while (dirent *e = readdir(d))
                if (e->d_name[0] != '.')
                    names.push_back(e->d_name);
            closedir(d);
        }
        return names;
    }
    void deploy_v1(const std::string &to = "h[1-8]") {
        auto r = station({"-H", to, "-j", "8", "deploy", "ivr1", "v1.jar"});
        ASSERT_EQ(r.status, 0) << r.err;
    }
};

TEST_F(StationRollout, CanaryAndStepsUpdateEveryHostThenAllAreCurrent) {
    deploy_v1();
    std::string audit = state("audit.log");
    auto plan = station({"-H", "h[1-8]", "rollout", "ivr1", "v2.jar", "--steps", "2,50%", "--check",
                         check("ivr1 v2"), "--plan"});
    ASSERT_EQ(plan.status, 0) << plan.err;
    EXPECT_NE(plan.out.find("step 1 (canary): 1 host(s): h1\nstep 2: 2 host(s): h[2-3]\n"
                            "step 3: 4 host(s): h[4-7]\nstep 4: 1 host(s): h8\n"),
              std::string::npos)
        << plan.out;
    EXPECT_EQ(state("audit.log"), audit);
    EXPECT_TRUE(listing("rollouts").empty());

    auto r = station({"-H", "h[1-8]", "-j", "3", "rollout", "ivr1", "v2.jar", "--steps", "2,50%",
                      "--check", check("ivr1 v2"), "--check-interval", "0.2", "--bake", "0.1"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("step 4 of 4: 8 of 8 hosts done, failures 0 of 0 allowed"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\nupdated                                       8  h[1-8]\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(versions(), "v2v2v2v2v2v2v2v2");
    // Every host's last ledger line names the new release; both releases are kept.
    std::vector<std::string> rel;
    std::istringstream ledger(state("ledger"));
    for (std::string l; std::getline(ledger, l);)
        rel.push_back(l.substr(l.rfind('\t') + 1));
    ASSERT_EQ(rel.size(), 16u);
    EXPECT_NE(rel[0], rel[15]);
    EXPECT_EQ(std::count(rel.begin(), rel.end(), rel[15]), 8);
    EXPECT_EQ(listing("releases/ivr1").size(), 2u);
    std::string journal = state("rollouts/" + listing("rollouts")[0] + "/journal");
    std::size_t updated = 0;
    for (std::size_t at = 0; (at = journal.find("\tupdated\t", at + 1)) != std::string::npos;)
        updated++;
    EXPECT_EQ(updated, 8u) << journal;
    EXPECT_TRUE(journal.ends_with("\t-\tfinished\t0\n")) << journal;

    auto again = station({"-H", "h[1-8]", "--json", "rollout", "ivr1", "v2.jar"});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.out.find("\"current\":8,\"updated\":0"), std::string::npos) << again.out;
    auto status = station({"rollout", "--status"});
    EXPECT_NE(status.out.find("current                                       8  h[1-8]"),
              std::string::npos)
        << status.out;
}

TEST_F(StationRollout, RefusalOrFailingCheckOnTheThirdHostHaltsAndRollsBack) {
    deploy_v1();
    ASSERT_TRUE(site.write_file("h3", "/opt/audium/standin/refuse", "2\n"));
    std::string healthy = check("ivr1 v[0-9]*");
    for (std::string cause : {"refusal", "check"}) {
        SCOPED_TRACE(cause);
        // The check fails on h3 for the new version only.
        std::string chk = cause == "refusal"
                              ? healthy
                              : "{ test {host} != h3 && " + healthy + "; } || " + check("ivr1 v1");
        auto r = station({"-H", "h[1-8]", "-j", "1", "rollout", "ivr1", "v2.jar", "--check", chk,
                          "--check-tries", "2", "--check-interval", "0.1"});
        EXPECT_EQ(r.status, 1) << r.out << r.err;
        EXPECT_NE(r.out.find(cause == "refusal"
                                 ? "refused (host put its old version back)       1  h3"
                                 : "rolled back                                   3  h[1-3]"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("untouched                                     5  h[4-8]"),
                  std::string::npos)
            << r.out;
        EXPECT_NE(r.out.find("rollback: "), std::string::npos) << r.out;
        EXPECT_EQ(versions(), "v1v1v1v1v1v1v1v1");
        if (cause == "check") {
            EXPECT_NE(r.err.find("h3: check: try 2 of 2: exit status 1"), std::string::npos)
                << r.err;
        }
        ASSERT_TRUE(site.write_file("h3", "/opt/audium/standin/refuse", ""));
    }
}

TEST_F(StationRollout, AHostThatHadNoneIsWithdrawnOneOfUnknownReleaseIsNamed) {
    // h1 got v1 from another station, h2 never had the application.
    auto other = options();
    other.env.back() = "XDG_STATE_HOME=" + work + "/other";
    ASSERT_EQ(testproc::run(argv({"-H", "h1", "deploy", "ivr1", "v1.jar"}), other).status, 0);
    deploy_v1("h[3-8]");
    ASSERT_TRUE(site.write_file("h3", "/opt/audium/standin/refuse", "2\n"));
    auto r = station({"-H", "h[1-8]", "-j", "1", "rollout", "ivr1", "v2.jar"});
    EXPECT_EQ(r.status, 3) << r.out << r.err;
    EXPECT_NE(r.out.find("rolled back                                   1  h2\n"
                         "cannot roll back                              1  h1\n"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(versions(), "v2nov1v1v1v1v1v1");
}

TEST_F(StationRollout, InterruptedInTheMiddleThenResumed) {
    deploy_v1();
    // h2's server takes its time, so that the interrupt finds it deploying.
    ASSERT_TRUE(site.write_file("h2", "/opt/audium/standin/mode", "updateApp linger 3\n"));
    testproc::Child c;
    ASSERT_TRUE(testproc::spawn(c, argv({"-H", "h[1-8]", "-j", "1", "rollout", "ivr1", "v2.jar"}),
                                options()));
    std::string journal;
    for (int i = 0; i < 200 && journal.find("\th2\tdeploying\t") == std::string::npos; i++) {
        usleep(50000);
        auto dir = listing("rollouts");
        if (!dir.empty())
            journal = state("rollouts/" + dir[0] + "/journal");
    }
    ASSERT_NE(journal.find("\th2\tdeploying\t"), std::string::npos) << journal;
    kill(c.pid, SIGINT);
    EXPECT_EQ(testproc::wait(c, 30000), 130);
    testproc::reap(c);
    ASSERT_TRUE(site.write_file("h2", "/opt/audium/standin/mode", ""));
    auto status = station({"rollout", "--status"});
    EXPECT_NE(status.out.find("untouched                                     6  h[3-8]"),
              std::string::npos)
        << status.out;
    std::string id = listing("rollouts")[0];
    auto r = station({"rollout", "--resume", id});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(versions(), "v2v2v2v2v2v2v2v2");
    // Rolled back on request, the fleet is back on the first release.
    r = station({"rollout", "--rollback", id});
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(versions(), "v1v1v1v1v1v1v1v1");
}

} // namespace
