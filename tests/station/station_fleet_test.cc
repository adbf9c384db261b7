// tarko_station over a fleet of simulated hosts: host ranges, folded lines and table,
// exit statuses of a fan-out, reruns of the failed hosts, JSON lines, the audit log,
// the agents' log lines, and archives refused before any host is contacted.
#include "files.h"
#include "proc.h"
#include "site.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

const std::string kPrompts = SOURCE_DIR "/examples/prompts";

class StationFleet : public ::testing::Test {
  protected:
    testsite::Site site;
    std::string work;

    void SetUp() override {
        char tmpl[] = "/tmp/station_fleet_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        work = tmpl;
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf '" + work + "'").c_str()), 0); }

    testproc::Options options() const {
        std::string t;
        for (auto &w : site.exec_argv("{host}", {"/usr/local/bin/tarko_remote2"}))
            t += (t.empty() ? "" : " ") + w;
        testproc::Options opt;
        opt.cwd = work.c_str();
        opt.env = {"TARKO_AGENT=" + t, "XDG_STATE_HOME=" + work + "/state",
                   "TARKO_HOSTS=" + work + "/hosts"};
        opt.timeout_ms = 60000;
        return opt;
    }
    std::vector<std::string> argv(std::vector<std::string> args) const {
        args.insert(args.begin(), testproc::bin("tarko_station"));
        return args;
    }
    testproc::Result station(std::vector<std::string> args) const {
        return testproc::run(argv(std::move(args)), options());
    }
    std::vector<std::string> audit() const {
        std::vector<std::string> lines;
        std::istringstream in(testfiles::read_file(work + "/state/tarko/audit.log"));
        for (std::string l; std::getline(in, l);)
            lines.push_back(l);
        return lines;
    }
};

TEST_F(StationFleet, TwelveHostsWithTwoFailingThenARerunOfThem) {
    std::vector<std::string> hosts;
    for (int i = 1; i <= 12; i++)
        hosts.push_back((i < 10 ? "ivr0" : "ivr") + std::to_string(i));
    SITE_UP_OR_SKIP(site, hosts);
    testfiles::write_file(work + "/hosts",
                          "# the lab\nfront: ivr[01-06]\nall: @front ivr[07-12]\n");
    // On two hosts a file stands where the directory should be.
    for (const char *h : {"ivr03", "ivr07"})
        ASSERT_TRUE(site.write_file(h, "/srv/prompts", "in the way"));
    auto r = station({"-H", "@all", "-j", "6", "sync", kPrompts + "/welcome.wav",
                      kPrompts + "/menu.wav", "/srv/prompts"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.out.find("ivr[01-02,04-06,08-12]: put /srv/prompts/welcome.wav: 0 success (2044 "
                         "bytes)\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("HOST                    STATUS  MEANING"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nivr[01-02,04-06,08-12]       0  success"), std::string::npos) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\nivr\\[03,07\\] +[0-9]+  [a-z]"))) << r.out;
    EXPECT_NE(r.err.find("tarko_station: ivr[03,07]: put /srv/prompts/welcome.wav: "),
              std::string::npos)
        << r.err;
    // The agents' log: shown for the failed requests, prefixed by the host; not for the
    // files the other hosts lacked before the put.
    EXPECT_TRUE(
        std::regex_search(r.err, std::regex("\nivr(03|07|\\[03,07\\]): \\d\\d:\\d\\d:\\d\\d ")))
        << r.err;
    std::istringstream err(r.err);
    for (std::string l; std::getline(err, l);)
        if (l.find("Could not read file") != std::string::npos) {
            EXPECT_TRUE(std::regex_search(l, std::regex("^ivr(03|07|\\[03,07\\]): "))) << l;
        }
    EXPECT_EQ(site.read_file("ivr12", "/srv/prompts/menu.wav"),
              testfiles::read_file(kPrompts + "/menu.wav"));

    // Two stations at once: their audit lines stay whole.
    testproc::Child one, two;
    ASSERT_TRUE(testproc::spawn(
        one, argv({"-H", "ivr[01-12]", "-j", "6", "-q", "sum", "/srv/prompts", "menu.wav"}),
        options()));
    ASSERT_TRUE(testproc::spawn(
        two, argv({"-H", "ivr[01-12]", "-j", "6", "-q", "sum", "/srv/prompts", "menu.wav"}),
        options()));
    EXPECT_EQ(testproc::wait(one, 60000), 1);
    EXPECT_EQ(testproc::wait(two, 60000), 1);
    testproc::reap(one);
    testproc::reap(two);
    std::regex whole("\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\dZ\t[^\t]+\t[^\t]+\t[^\t]+\tivr\\d\\d"
                     "\t[a-z]+\t[^\t]+\t(-|\\d+)\t(-|\\d+)\t\\d+");
    auto lines = audit();
    EXPECT_EQ(lines.size(), 2u * 12 + 24u); // the sync: two files on ten hosts, two on two
    for (auto &l : lines)
        EXPECT_TRUE(std::regex_match(l, whole)) << l;

    // The last run's failures are the same two hosts: mend them, rerun only them.
    EXPECT_EQ(testfiles::read_file(work + "/state/tarko/failed"), "ivr03\nivr07\n");
    r = station({"hosts", "@failed"});
    EXPECT_EQ(r.out, "ivr03\nivr07\n");
    for (const char *h : {"ivr03", "ivr07"})
        ASSERT_EQ(unlink(site.path(h, "/srv/prompts").c_str()), 0);
    r = station({"-H", "@failed", "--json", "sync", kPrompts + "/welcome.wav",
                 kPrompts + "/menu.wav", "/srv/prompts"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("ivr[03,07]: put /srv/prompts/menu.wav: 0 success (1644 bytes)"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("ivr01"), std::string::npos) << r.err;
    EXPECT_EQ(testfiles::read_file(work + "/state/tarko/failed"), "");
    // Every line is one JSON object with its fields; the types in order of first sight.
    testfiles::write_file(work + "/out.json", r.out);
    auto py = testproc::run(
        {"/bin/sh", "-c",
         "command -v python3 >/dev/null || exit 77; python3 -c 'import json,sys\n"
         "seen = []\n"
         "for line in open(sys.argv[1]):\n"
         "    o = json.loads(line)\n"
         "    k = o[\"type\"] + \":\" + \",\".join(sorted(o))\n"
         "    if k not in seen: seen.append(k)\n"
         "    if o[\"type\"] == \"total\": print(o[\"hosts\"], o[\"succeeded\"], o[\"status\"])\n"
         "print(\"\\n\".join(seen))' " +
             work + "/out.json"});
    if (py.status == 77)
        GTEST_SKIP() << "python3 is not installed";
    EXPECT_EQ(py.out, "2 2 0\n"
                      "request:bytes,checksum,command,host,meaning,path,seconds,status,type\n"
                      "host:host,meaning,seconds,status,type\n"
                      "total:failed,hosts,seconds,status,succeeded,type,unreachable\n")
        << py.err << r.out;

    // Only unreachable hosts: 69. A malformed expression is refused before any contact.
    r = station({"-H", "ghost,phantom", "sum", "/srv/prompts", "menu.wav"});
    EXPECT_EQ(r.status, 69) << r.err;
    r = station({"-H", "ivr01,ghost[2-1]", "sum", "/srv/prompts", "menu.wav"});
    EXPECT_EQ(r.status, 64);
    EXPECT_EQ(r.err.rfind("tarko_station: -H: \"ivr01,ghost[2-1]\": position 13: the range 2-1 "
                          "runs backwards\n",
                          0),
              0u)
        << r.err;
}

TEST_F(StationFleet, AnArchiveThatIsNoApplicationJarIsRefusedBeforeContact) {
    testfiles::write_file(work + "/other/x/data/f", "x");
    ASSERT_EQ(system(("cd '" + work + "/other' && zip -qr ../wrong.jar x 2>/dev/null || " +
                      "jar cf ../wrong.jar x")
                         .c_str()),
              0);
    testfiles::write_file(work + "/plain.jar", "not a zip");
    // An agent command that would fail loudly if it were ever started.
    for (const char *jar : {"wrong.jar", "plain.jar"}) {
        auto r = testproc::run({testproc::bin("tarko_station"), "--agent", "/nonexistent/agent",
                                "deploy", "ivr1", work + "/" + jar},
                               options());
        EXPECT_EQ(r.status, 66) << r.err;
        EXPECT_NE(r.err.find("    ivr1/data/...   the application's data\n"
                             "    ivr1/java/...   its classes\n"),
                  std::string::npos)
            << r.err;
        EXPECT_EQ(r.err.find("nonexistent"), std::string::npos) << r.err;
    }
    // The example script builds one that passes.
    ASSERT_EQ(
        system(
            (SOURCE_DIR "/examples/make-app-jar ivr1 '" + work + "/ivr1.jar' >/dev/null").c_str()),
        0);
    auto r = testproc::run({testproc::bin("tarko_station"), "--agent", "/nonexistent/agent",
                            "deploy", "ivr1", work + "/ivr1.jar"},
                           options());
    EXPECT_EQ(r.status, 69) << r.err; // checked, then the agent could not be started
}

} // namespace

namespace {

// A state directory that cannot be made costs one warning, not the run.
TEST_F(StationFleet, AnUnwritableStateDirectoryGivesOneWarning) {
    testfiles::write_file(work + "/f", "data");
    testfiles::write_file(work + "/blocker", "a file where the directory should be");
    testproc::Options opt;
    opt.cwd = work.c_str();
    opt.env = {"XDG_STATE_HOME=" + work + "/blocker"};
    auto r =
        testproc::run({testproc::bin("tarko_station"), "--agent", testproc::bin("tarko_remote2"),
                       "-H", "a,b", "-j", "1", "put", "f", work + "/host"},
                      opt);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "tarko_station: warning: cannot keep state in " + work +
                         "/blocker/tarko (Not a directory); failed hosts and the audit log are "
                         "not recorded\n");
}

// An agent command's exit status of 128 or more is a status, not a signal, and the
// message names the command as it ran for the host.
TEST_F(StationFleet, AgentCommandStatusesAndSignalsAreToldApart) {
    testfiles::write_file(work + "/agent",
                          "#!/bin/sh\ncase $1 in\nk*) kill -9 $$;;\nesac\nexit 130\n");
    ASSERT_EQ(chmod((work + "/agent").c_str(), 0755), 0);
    testproc::Options opt;
    opt.env = {"XDG_STATE_HOME=" + work + "/state"};
    auto r = testproc::run({testproc::bin("tarko_station"), "--agent", work + "/agent {host}", "-H",
                            "exits,killed", "--no-fold", "rm", "/d", "n"},
                           opt);
    EXPECT_EQ(r.status, 69) << r.err;
    EXPECT_NE(r.err.find("tarko_station: exits: the host did not answer: the agent command ended "
                         "with status 130 (" +
                         work + "/agent exits)"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("tarko_station: killed: the host did not answer: the agent command was "
                         "killed by signal 9 (" +
                         work + "/agent killed)"),
              std::string::npos)
        << r.err;
}

// The completion offers commands, options, and after -H the groups of the host file.
TEST_F(StationFleet, BashCompletionKnowsCommandsOptionsAndGroups) {
    testfiles::write_file(work + "/hosts", "web: a\n# old: b\n  db : c\n");
    auto complete = [&](const std::string &words) {
        testproc::Options opt;
        opt.env = {"TARKO_HOSTS=" + work + "/hosts"};
        return testproc::run({"/bin/bash", "-c",
                              "source '" SOURCE_DIR "/station/tarko_station.bash'; COMP_WORDS=(" +
                                  words +
                                  "); COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); "
                                  "_tarko_station; echo \"${COMPREPLY[*]}\""},
                             opt)
            .out;
    };
    EXPECT_EQ(complete("tarko_station -H @"), "@failed @db @web\n");
    EXPECT_EQ(complete("tarko_station -j 4 s"), "sum sync\n");
    EXPECT_EQ(complete("tarko_station --no-f"), "--no-fold\n");
}

} // namespace
