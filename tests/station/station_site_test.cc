// tarko_station against a simulated site: each host a view of its own, its agent at
// /usr/local/bin/tarko_remote2 and the site's rsh between them. The station runs on
// this machine and reaches a host through `simsite exec SITE {host} -- agent`.
#include "client.h"
#include "proc.h"
#include "site.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class StationSite : public ::testing::Test {
  protected:
    testsite::Site site;
    std::string work; // station-side files

    void SetUp() override {
        char tmpl[] = "/tmp/station_site_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        work = tmpl;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + work + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    // The agent command template for this site.
    std::string agent() const {
        std::string t;
        for (auto &w : site.exec_argv("{host}", {"/usr/local/bin/tarko_remote2"}))
            t += (t.empty() ? "" : " ") + w;
        return t;
    }
    std::vector<std::string> station_argv(const std::string &hosts,
                                          std::vector<std::string> args) const {
        std::vector<std::string> argv{testproc::bin("tarko_station"), "-H", hosts};
        argv.insert(argv.end(), args.begin(), args.end());
        return argv;
    }
    testproc::Options station_options() const {
        testproc::Options opt;
        opt.cwd = work.c_str();
        opt.env.push_back("TARKO_AGENT=" + agent());
        opt.env.push_back("XDG_STATE_HOME=" + work + "/state");
        opt.timeout_ms = 60000;
        return opt;
    }
    testproc::Result station(const std::string &hosts, std::vector<std::string> args) const {
        return testproc::run(station_argv(hosts, args), station_options());
    }
    std::string local(const std::string &name, const std::string &data) const {
        std::string path = work + "/" + name;
        std::ofstream(path, std::ios::binary) << data;
        return path;
    }
};

TEST_F(StationSite, PushAndRemoteDeleteThroughTheFirstHost) {
    SITE_UP_OR_SKIP(site, {"a", "b"});
    local("notes.txt", "pushed along");
    auto r = station("a", {"put", "notes.txt", "/srv/data"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(site.read_file("a", "/srv/data/notes.txt"), "pushed along");
    EXPECT_FALSE(site.exists("b", "/srv/data/notes.txt"));

    r = station("a", {"push", "b", "/srv/data", "notes.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "a: push /srv/data/notes.txt to b: 0 success (12 bytes)\n");
    EXPECT_EQ(site.read_file("b", "/srv/data/notes.txt"), "pushed along");
    // Nothing of it reached this machine.
    EXPECT_NE(access("/srv/data/notes.txt", F_OK), 0);

    r = station("a", {"rmremote", "b", "/srv/data", "notes.txt"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "a: rmremote /srv/data/notes.txt on b: 0 success\n");
    EXPECT_FALSE(site.exists("b", "/srv/data/notes.txt"));
    EXPECT_TRUE(site.exists("a", "/srv/data/notes.txt"));

    // A file the first host lacks is refused before any relay.
    r = station("a", {"push", "b", "/srv/data", "absent"});
    EXPECT_EQ(r.status, 11);
    EXPECT_NE(r.err.find("a: sum /srv/data/absent: 11 the source file cannot be opened"),
              std::string::npos)
        << r.err;
    // A further host that is not there: the relay's hello fails.
    r = station("a", {"push", "nosuchhost", "/srv/data", "notes.txt"});
    EXPECT_EQ(r.status, 12);
    EXPECT_NE(r.err.find("push /srv/data/notes.txt to nosuchhost: 12 the remote agent did not "
                         "answer the hello"),
              std::string::npos)
        << r.err;
}

// A jar of the application with one data file that tells the versions apart.
std::string make_jar(const std::string &work, const std::string &app, const std::string &version) {
    std::string tree = work + "/jar-" + version;
    std::string cmd = "rm -rf '" + tree + "' && mkdir -p '" + tree + "/" + app + "/data' '" + tree +
                      "/" + app + "/java' && echo " + version + " > '" + tree + "/" + app +
                      "/data/version' && echo code > '" + tree + "/" + app +
                      "/java/Main.class' && cd '" + tree + "' && jar cf '" + work + "/" + app +
                      "-" + version + ".jar' " + app;
    if (system(cmd.c_str()) != 0)
        return "";
    return work + "/" + app + "-" + version + ".jar";
}

TEST_F(StationSite, DeployThenARefusedRedeploymentIsRolledBack) {
    if (system("command -v jar >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "jar is not installed";
    SITE_UP_OR_SKIP(site, {"a"});
    std::string v1 = make_jar(work, "ivr1", "v1"), v2 = make_jar(work, "ivr1", "v2");
    ASSERT_FALSE(v1.empty());
    ASSERT_FALSE(v2.empty());
    auto r = station("a", {"deploy", "ivr1", v1});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("a: deploy ivr1: 0 success ("), std::string::npos) << r.out;
    EXPECT_EQ(site.read_file("a", "/opt/audium/applications/ivr1/data/version"), "v1\n");

    // The server refuses the update: the agent puts v1 back and answers 2.
    ASSERT_TRUE(site.write_file("a", "/opt/audium/standin/ivr1.mode", "updateApp refuse\n"));
    r = station("a", {"deploy", "ivr1", v2});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("tarko_station: a: deploy ivr1: 2 general failure"), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("putting back old program"), std::string::npos) << r.err;
    EXPECT_EQ(site.read_file("a", "/opt/audium/applications/ivr1/data/version"), "v1\n");

    r = station("a", {"undeploy", "ivr1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(site.exists("a", "/opt/audium/applications/ivr1"));
    EXPECT_EQ(site.read_file("a", "/opt/audium/applications.old/ivr1/data/version"), "v1\n");
}

TEST_F(StationSite, FanOutWithOneBrokenHost) {
    SITE_UP_OR_SKIP(site, {"a", "b", "c"});
    local("menu.xml", "<menu/>");
    ASSERT_TRUE(site.write_file("b", "/srv/menu.xml", "<menu/>"));
    // Host c has lost its agent.
    ASSERT_EQ(unlink(site.path("c", "/usr/local/bin/tarko_remote2").c_str()), 0);
    auto r = station("a,b,c", {"-j", "3", "sync", "menu.xml", "/srv"});
    EXPECT_EQ(r.status, 69) << r.err; // unreachable, and no host failed a request
    EXPECT_NE(r.out.find("a: put /srv/menu.xml: 0 success (7 bytes)\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("b: skipped /srv/menu.xml: unchanged (7 bytes"), std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("tarko_station: c: the host did not answer: the agent command ended "
                         "with status 127"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("\na,b        0  success"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\nc         69  the host did not answer"), std::string::npos) << r.out;
    EXPECT_EQ(site.read_file("a", "/srv/menu.xml"), "<menu/>");
}

// Interrupted in the middle of its uploads, the station closes its agents' input: each
// answers and removes its temporary file, and the station says what finished.
TEST_F(StationSite, InterruptedUploadsLeaveNothingOnTheHosts) {
    SITE_UP_OR_SKIP(site, {"a", "b", "c"});
    ASSERT_EQ(truncate(local("big.bin", "").c_str(), 256 << 20), 0); // sparse
    struct Case {
        std::vector<std::string> hosts;
        int sig, status;
    };
    for (const Case &k : {Case{{"a", "b", "c"}, SIGINT, 130}, Case{{"b"}, SIGTERM, 143}}) {
        std::string list;
        for (auto &h : k.hosts)
            list += (list.empty() ? "" : ",") + h;
        testproc::Child st;
        ASSERT_TRUE(testproc::spawn(st, station_argv(list, {"-j", "3", "put", "big.bin", "/srv"}),
                                    station_options()));
        std::vector<pid_t> agents;
        for (auto &h : k.hosts) {
            ASSERT_TRUE(
                testproc::wait_until([&] { return site.exists(h, "/srv/big.bin-TARKO"); }, 10000));
            agents.push_back(site.find_process(h, "/usr/local/bin/tarko_remote2"));
            kill(agents.back(), SIGSTOP); // held in the middle of the data
        }
        kill(st.pid, k.sig);
        for (pid_t p : agents)
            kill(p, SIGCONT);
        EXPECT_EQ(testproc::wait(st, 20000), k.status);
        std::string out = testproc::read_all(st.out, 2000), err = testproc::read_all(st.err, 2000);
        testproc::reap(st);
        EXPECT_NE(err.find("tarko_station: interrupted\n"), std::string::npos) << err;
        if (k.hosts.size() > 1) {
            EXPECT_NE(out.find("\na,b,c     130  interrupted"), std::string::npos) << out;
        }
        for (auto &h : k.hosts) {
            EXPECT_FALSE(site.exists(h, "/srv/big.bin-TARKO")) << h;
            EXPECT_FALSE(site.exists(h, "/srv/big.bin")) << h;
        }
    }
}

// Every operation runs through the one engine against a real agent, relays and
// deployments included.
TEST_F(StationSite, EveryOperationRunsThroughTheEngine) {
    if (system("command -v jar >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "jar is not installed";
    SITE_UP_OR_SKIP(site, {"a", "b"});
    std::string v1 = make_jar(work, "ivr1", "v1");
    ASSERT_FALSE(v1.empty());
    std::string file = local("f.txt", "file data"), got = work + "/got";
    station::Agent ag;
    ASSERT_TRUE(station::agent_start(ag, site.exec_argv("a", {"/usr/local/bin/tarko_remote2"})));
    station::FileInfo info;
    struct Step {
        const char *what;
        std::function<station::Reply()> run;
        station::Reply want;
    } steps[] = {
        {"hello", [&] { return station::hello(ag); }, Status::Ok},
        {"put", [&] { return station::put(ag, "/srv/e", "m", "from memory"); }, Status::Ok},
        {"put_path", [&] { return station::put_path(ag, "/srv/e", "f", file.c_str()); },
         Status::Ok},
        {"sum", [&] { return station::sum(ag, "/srv/e", "f", &info); }, Status::Ok},
        {"get", [&] { return station::get_path(ag, "/srv/e", "m", got.c_str(), &info); },
         Status::Ok},
        {"push",
         [&] {
             return station::push(ag, "b", "/srv/e", "f", 9, station::checksum_of("file data"));
         },
         Status::Ok},
        {"rmremote", [&] { return station::rmremote(ag, "b", "/srv/e", "m"); }, Status::Ok},
        {"rm", [&] { return station::rm(ag, "/srv/e", "m"); }, Status::Ok},
        {"deploy", [&] { return station::deploy(ag, "ivr1", v1.c_str()); }, Status::Ok},
        {"undeploy", [&] { return station::undeploy(ag, "ivr1"); }, Status::Ok},
        {"get of what is gone", [&] { return station::get_path(ag, "/srv/e", "m", got.c_str()); },
         Status::CannotOpen},
    };
    for (auto &step : steps)
        EXPECT_EQ(step.run(), step.want) << step.what;
    EXPECT_EQ(ag.seq, 10);
    EXPECT_EQ(station::agent_close(ag), 0);
    EXPECT_EQ(info.length, 11);
    EXPECT_EQ(site.read_file("b", "/srv/e/f"), "file data");
    EXPECT_FALSE(site.exists("a", "/srv/e/m"));
    EXPECT_TRUE(site.exists("a", "/opt/audium/applications.old/ivr1"));
}

// An interrupted get ends at once, though the agent is in the middle of sending: exit
// 130, nothing stored here. (Paced puts: InterruptedPacedPutsEndAtOnceAndAreAudited.)
TEST_F(StationSite, InterruptedGetEndsAtOnce) {
    SITE_UP_OR_SKIP(site, {"a"});
    ASSERT_TRUE(site.write_file("a", "/srv/big.bin", ""));
    ASSERT_EQ(truncate(site.path("a", "/srv/big.bin").c_str(), 1 << 30), 0);
    auto partial_here = [&](const char *size) {
        std::string cmd = "find '" + work + "' -name '*tarko-*' -size " + size + " | grep -q .";
        return system(cmd.c_str()) == 0;
    };
    testproc::Child st;
    ASSERT_TRUE(
        testproc::spawn(st, station_argv("a", {"get", "/srv", "big.bin"}), station_options()));
    ASSERT_TRUE(testproc::wait_until([&] { return partial_here("+1k"); }, 10000));
    auto t0 = std::chrono::steady_clock::now();
    kill(st.pid, SIGINT);
    EXPECT_EQ(testproc::wait(st, 20000), 130);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(s, 1.0); // generous: the station itself ends within milliseconds
    testproc::reap(st);
    EXPECT_FALSE(partial_here("-1G"));
    EXPECT_FALSE(std::ifstream(work + "/big.bin").good());
}

// Another account of the host plants entries at the names the agent is about to use,
// in a drop directory that everybody may write (mode 1777): nothing planted is written
// through, and nothing makes the agent wait.
TEST_F(StationSite, EntriesPlantedByAnotherAccountAreNeverWrittenThroughOrWaitedOn) {
    SITE_UP_OR_SKIP(site, {"a"});
    local("up.wav", "the upload");
    ASSERT_TRUE(site.write_file("a", "/etc/victim", "root's own", 0600));
    auto as_nobody = [&](const std::string &script) {
        return site.exec("a", {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups",
                               "/bin/sh", "-c", script});
    };
    ASSERT_EQ(site.exec("a", {"install", "-d", "-m", "1777", "/srv/drop"}).status, 0);
    auto r = as_nobody("ln -s /etc/victim /srv/drop/p1.wav-TARKO && "
                       "ln -s /etc/made-by-agent /srv/drop/p2.wav-TARKO && "
                       "mkfifo -m 666 /srv/drop/p3.wav-TARKO /srv/drop/pipe.wav");
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char *name : {"p1.wav", "p2.wav", "p3.wav"}) {
        r = station("a", {"put", "up.wav", "/srv/drop", name});
        EXPECT_EQ(r.status, 0) << name << r.err;
        struct stat st;
        ASSERT_EQ(lstat(site.path("a", std::string("/srv/drop/") + name).c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << name;
        EXPECT_EQ(site.read_file("a", std::string("/srv/drop/") + name), "the upload") << name;
        EXPECT_FALSE(site.exists("a", std::string("/srv/drop/") + name + "-TARKO")) << name;
    }
    EXPECT_EQ(site.read_file("a", "/etc/victim"), "root's own");
    EXPECT_FALSE(site.exists("a", "/etc/made-by-agent"));

    // A get or sum of a named pipe answers at once: there is no file to read.
    for (const char *cmd : {"get", "sum"}) {
        r = station("a", {cmd, "/srv/drop", "pipe.wav"});
        EXPECT_EQ(r.status, 11) << cmd << r.err;
        EXPECT_FALSE(r.timed_out) << cmd;
    }
    EXPECT_FALSE(std::ifstream(work + "/pipe.wav").good());
}

} // namespace

// A relay-tree put to twelve hosts: the station seeds one, the hosts pass it on; the
// first host's own rsh is broken, so its push fails and the station serves that target
// itself. Every host ends up with the file.
// A paced put interrupted in the middle of its data ends at once with 130: every host
// is shown as interrupted and audited so, and none keeps the file.
TEST_F(StationSite, InterruptedPacedPutsEndAtOnceAndAreAudited) {
    SITE_UP_OR_SKIP(site, {"a", "b", "c"});
    ASSERT_EQ(truncate(local("big.bin", "").c_str(), 64 << 20), 0); // 10 s at 50 Mbit/s
    for (std::vector<std::string> hosts : {std::vector<std::string>{"a"}, {"a", "b", "c"}}) {
        std::string list;
        for (auto &h : hosts)
            list += (list.empty() ? "" : ",") + h;
        testproc::Child st;
        ASSERT_TRUE(testproc::spawn(
            st, station_argv(list, {"-j", "3", "--bwlimit", "50Mbit", "put", "big.bin", "/srv"}),
            station_options()));
        for (auto &h : hosts) {
            ASSERT_TRUE(
                testproc::wait_until([&] { return site.exists(h, "/srv/big.bin-TARKO"); }, 10000));
        }
        usleep(300000);
        auto t0 = std::chrono::steady_clock::now();
        kill(st.pid, SIGINT);
        EXPECT_EQ(testproc::wait(st, 20000), 130) << list;
        double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        EXPECT_LT(s, 2.0) << list; // generous: the station itself ends within milliseconds
        std::string out = testproc::read_all(st.out, 2000), err = testproc::read_all(st.err, 2000);
        testproc::reap(st);
        EXPECT_NE(err.find("tarko_station: interrupted\n"), std::string::npos) << err;
        if (hosts.size() > 1) {
            EXPECT_NE(out.find("\na,b,c     130  interrupted"), std::string::npos) << out;
        }
        // Audit lines: time, user, station, command line, host, operation, path, ..., status.
        std::ifstream audit(work + "/state/tarko/audit.log");
        std::vector<std::string> audited;
        for (std::string line; std::getline(audit, line);) {
            std::vector<std::string> f;
            for (std::size_t at = 0, tab; at <= line.size(); at = tab + 1) {
                tab = std::min(line.find('\t', at), line.size());
                f.push_back(line.substr(at, tab - at));
            }
            if (f.size() > 6 && f[5] == "put" && f[6] == "/srv/big.bin" && f.back() == "130")
                audited.push_back(f[4]);
        }
        std::sort(audited.begin(), audited.end());
        EXPECT_EQ(audited, hosts) << list;
        for (auto &h : hosts) {
            EXPECT_FALSE(site.exists(h, "/srv/big.bin-TARKO")) << h;
            EXPECT_FALSE(site.exists(h, "/srv/big.bin")) << h;
        }
        unlink((work + "/state/tarko/audit.log").c_str());
    }
}

TEST_F(StationSite, TreePutToTwelveHostsWithAFailedPush) {
    std::vector<std::string> names;
    std::string list;
    for (int i = 1; i <= 12; i++) {
        names.push_back((i < 10 ? "h0" : "h") + std::to_string(i));
        list += (list.empty() ? "" : ",") + names.back();
    }
    SITE_UP_OR_SKIP(site, names);
    ASSERT_TRUE(site.write_file("h01", "/usr/bin/rsh", "#!/bin/sh\nexit 1\n", 0755));
    std::string data(300 * 1024, 'p');
    local("big.wav", data);
    auto r = station(list, {"put", "--tree", "--json", "big.wav", "/srv/big"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find(": push /srv/big/big.wav from h01: 12 "), std::string::npos) << r.err;
    // The hosts' lines fold as a fan-out's, and the JSON objects are a fan-out's too.
    EXPECT_NE(r.err.find("h[01-12]: put /srv/big/big.wav: 0 success (307200 bytes)\n"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("\"type\":\"total\",\"hosts\":12,\"succeeded\":12,"), std::string::npos)
        << r.out;
    std::size_t tree = r.err.find("tree /srv/big/big.wav: ");
    ASSERT_NE(tree, std::string::npos) << r.err;
    std::string line = r.err.substr(tree, r.err.find('\n', tree) - tree);
    EXPECT_NE(line.find(" from the station"), std::string::npos) << line;
    EXPECT_EQ(line.find("from h01"), std::string::npos) << line;
    for (const auto &h : names)
        EXPECT_EQ(site.read_file(h, "/srv/big/big.wav"), data) << h;
}
