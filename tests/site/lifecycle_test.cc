// Bringing sites up and down: names, options, and nothing left behind on the machine.
#include "site.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <dirent.h>
#include <fstream>
#include <gtest/gtest.h>
#include <set>
#include <sys/stat.h>
#include <unistd.h>

namespace {

#define SKIP_WITHOUT_SITES()                                                                       \
    do {                                                                                           \
        std::string why_;                                                                          \
        if (!testsite::available(&why_))                                                           \
            GTEST_SKIP() << "simulated site unavailable: " << why_;                                \
    } while (0)

std::string unique(const char *what) {
    static int n = 0;
    return std::string(what) + std::to_string(getpid()) + "-" + std::to_string(++n);
}

testproc::Result simsite(std::vector<std::string> args) {
    // A site of a failed test must not outlive the test program.
    if (args[0] == "up" && args[1] != "--owner")
        args.insert(args.begin() + 1, {"--owner", std::to_string(getpid())});
    args.insert(args.begin(), testsite::simsite());
    testproc::Options o;
    o.timeout_ms = 10000;
    return testproc::run(args, o);
}

// The mounts of this (the machine's) namespace, without their ids, which change.
std::multiset<std::string> mounts() {
    std::multiset<std::string> out;
    std::ifstream f("/proc/self/mountinfo");
    std::string line;
    while (std::getline(f, line)) {
        std::size_t sp = line.find(' ', line.find(' ') + 1);
        out.insert(line.substr(sp + 1));
    }
    return out;
}

// Process ids of the machine running sleep mark.
std::vector<int> processes_with(const std::string &mark) {
    const std::string cmdline = std::string("sleep") + '\0' + mark + '\0';
    std::vector<int> out;
    DIR *d = opendir("/proc");
    while (dirent *de = d ? readdir(d) : nullptr) {
        int pid = atoi(de->d_name);
        if (pid <= 0 || pid == getpid())
            continue;
        std::ifstream f(std::string("/proc/") + de->d_name + "/cmdline");
        std::string cmd((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        if (cmd == cmdline)
            out.push_back(pid);
    }
    if (d)
        closedir(d);
    return out;
}

// Waits up to 3 seconds for pid to end. A zombie has ended: it holds nothing any more,
// and when it is reaped is up to its parent (here the machine's init).
bool ended(pid_t pid) {
    for (int i = 0; i < 150; i++) {
        std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
        std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        std::size_t paren = stat.rfind(')');
        if (!f || paren == std::string::npos || stat.compare(paren, 3, ") Z") == 0)
            return true;
        usleep(20000);
    }
    return false;
}

// Waits up to 3 seconds for sleep mark to run (after the shell's exec).
bool started(const std::string &mark) {
    for (int i = 0; i < 150; i++) {
        if (!processes_with(mark).empty())
            return true;
        usleep(20000);
    }
    return false;
}

TEST(Lifecycle, DownLeavesNoMountsProcessesOrSocket) {
    SKIP_WITHOUT_SITES();
    auto before = mounts();
    std::string name = unique("life");
    auto r = simsite({"up", name, "a", "b", "c"});
    ASSERT_EQ(r.status, 0) << r.err;
    pid_t daemon = atoi(r.out.c_str());
    ASSERT_GT(daemon, 0);
    EXPECT_EQ(mounts(), before) << "the site's mounts must stay in its own namespace";
    std::string mark = "31." + std::to_string(getpid());
    testproc::Child c;
    ASSERT_TRUE(testproc::spawn(c, {testsite::simsite(), "exec", name, "b", "--", "/bin/sh", "-c",
                                    "echo go; exec sleep " + mark}));
    EXPECT_EQ(testproc::read_n(c.out, 3, 5000), "go\n");
    ASSERT_TRUE(started(mark));
    EXPECT_EQ(processes_with(mark).size(), 1u);

    r = simsite({"down", name});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(testproc::wait(c, 5000), 255);
    EXPECT_NE(testproc::read_all(c.err, 1000).find("went down"), std::string::npos);
    testproc::reap(c);
    EXPECT_TRUE(ended(daemon));
    EXPECT_TRUE(processes_with(mark).empty());
    EXPECT_EQ(mounts(), before);
    r = simsite({"status", name});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(simsite({"down", name}).status, 1);
}

TEST(Lifecycle, AKilledDaemonTakesTheWholeSiteWithIt) {
    SKIP_WITHOUT_SITES();
    std::string name = unique("kill");
    auto r = simsite({"up", name, "a"});
    ASSERT_EQ(r.status, 0) << r.err;
    pid_t daemon = atoi(r.out.c_str());
    std::string mark = "32." + std::to_string(getpid());
    testproc::Child c;
    ASSERT_TRUE(testproc::spawn(c, {testsite::simsite(), "exec", name, "a", "--", "/bin/sh", "-c",
                                    "echo go; exec sleep " + mark}));
    EXPECT_EQ(testproc::read_n(c.out, 3, 5000), "go\n");
    ASSERT_TRUE(started(mark));
    ASSERT_EQ(kill(daemon, SIGKILL), 0);
    EXPECT_EQ(testproc::wait(c, 5000), 255);
    testproc::reap(c);
    EXPECT_TRUE(ended(daemon));
    EXPECT_TRUE(processes_with(mark).empty());
    // The name is free again at once.
    ASSERT_EQ(simsite({"up", name, "a"}).status, 0);
    EXPECT_EQ(simsite({"down", name}).status, 0);
}

TEST(Lifecycle, SigtermEndsTheDaemonInOrder) {
    SKIP_WITHOUT_SITES();
    std::string name = unique("term");
    auto r = simsite({"up", name, "a"});
    ASSERT_EQ(r.status, 0) << r.err;
    pid_t daemon = atoi(r.out.c_str());
    ASSERT_EQ(kill(daemon, SIGTERM), 0);
    EXPECT_TRUE(ended(daemon));
    EXPECT_EQ(simsite({"status", name}).status, 1);
}

TEST(Lifecycle, TheSiteEndsWithItsOwner) {
    SKIP_WITHOUT_SITES();
    testproc::Child owner;
    ASSERT_TRUE(testproc::spawn(owner, {"/bin/sleep", "30"}));
    std::string name = unique("owned");
    auto r = simsite({"up", "--owner", std::to_string(owner.pid), name, "a"});
    ASSERT_EQ(r.status, 0) << r.err;
    pid_t daemon = atoi(r.out.c_str());
    EXPECT_EQ(simsite({"status", name}).status, 0);
    pid_t gone_owner = owner.pid;
    testproc::reap(owner);
    EXPECT_TRUE(ended(daemon));
    EXPECT_EQ(simsite({"status", name}).status, 1);
    // An owner that is already gone is refused.
    std::string late = unique("owned");
    r = simsite({"up", "--owner", std::to_string(gone_owner), late, "a"});
    EXPECT_EQ(r.status, 1);
    if (r.status == 0)
        simsite({"down", late});
}

TEST(Lifecycle, NamesAreCheckedBeforeAnythingHappens) {
    SKIP_WITHOUT_SITES();
    std::string ok = unique("names");
    for (auto bad : {"../x", "a/b", "..", ".", "-x", "", "a b", "x\n",
                     "0123456789012345678901234567890123456789012345678901234567890123"}) {
        auto r = simsite({"up", ok, bad});
        EXPECT_EQ(r.status, 1) << "host " << bad;
        EXPECT_NE(r.err.find("invalid host name"), std::string::npos) << r.err;
        r = simsite({"up", bad, "a"});
        EXPECT_TRUE(r.status == 1 || r.status == 2) << "site " << bad; // "-x" reads as an option
    }
    EXPECT_EQ(simsite({"up", ok, "a", "b", "a"}).status, 1);
    EXPECT_EQ(simsite({"up", ok}).status, 2);
    EXPECT_EQ(simsite({"status", ok}).status, 1) << "nothing may be up after refusals";
}

// A command line that cannot be used says what it lacks, before the usage.
TEST(Lifecycle, UsageErrorsSayWhatIsWrong) {
    SKIP_WITHOUT_SITES();
    struct Case {
        std::vector<std::string> args;
        int status;
        const char *said;
    };
    for (const Case &k :
         std::vector<Case>{{{"up", "--owner", "1", "lab"}, 2, "simsite: up: no host named\n"},
                           {{"exec", "lab", "A", "ls", "/"}, 2, "\"ls\" stands before \"--\""},
                           {{"exec", "lab", "A", "--"}, 2, "no command after \"--\""},
                           {{"link", "lab", "C", "--rate", "10kb"}, 1, "bit, kbit, mbit or gbit"},
                           {{"link", "lab", "C", "--rate", "0mbit"}, 1, "not 0mbit"},
                           {{"down"}, 2, "down: no site named"}}) {
        auto r = simsite(k.args);
        EXPECT_EQ(r.status, k.status) << k.args[0];
        EXPECT_NE(r.err.find(k.said), std::string::npos) << r.err;
    }
    auto r = simsite({"--help"});
    EXPECT_EQ(r.status, 0);
    for (auto line : {"\n  up ", "\n  exec ", "\n  link ", "\n  status ", "\n  path ", "\n  down "})
        EXPECT_NE(r.out.find(line), std::string::npos) << line << r.out;
    r = simsite({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("simsite ", 0), 0u) << r.out;
}

TEST(Lifecycle, ASiteNameIsTakenOnce) {
    SKIP_WITHOUT_SITES();
    std::string name = unique("twice");
    ASSERT_EQ(simsite({"up", name, "a"}).status, 0);
    auto r = simsite({"up", name, "b"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("already up"), std::string::npos) << r.err;
    r = simsite({"status", name});
    EXPECT_NE(r.out.find("host a "), std::string::npos);
    EXPECT_EQ(r.out.find("host b "), std::string::npos);
    EXPECT_EQ(simsite({"down", name}).status, 0);
}

TEST(Lifecycle, AMissingAgentIsRefused) {
    SKIP_WITHOUT_SITES();
    auto r = simsite({"up", "--agent", "/no/such/agent", unique("noagent"), "a"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("/no/such/agent"), std::string::npos) << r.err;
}

TEST(Lifecycle, StatusAndPathTellWhereTheViewsAre) {
    testsite::Site site;
    SITE_UP_OR_SKIP(site, {"a", "b"});
    auto r = simsite({"status", site.name()});
    ASSERT_EQ(r.status, 0);
    std::string root = "/proc/" + std::to_string(site.pid()) + "/root";
    EXPECT_EQ(r.out.substr(0, r.out.find("host ")),
              "site " + site.name() + "\npid " + std::to_string(site.pid()) + "\n");
    r = simsite({"path", site.name(), "b", "/etc/simsite"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out, site.path("b", "/etc/simsite") + "\n");
    EXPECT_EQ(r.out.rfind(root, 0), 0u);
    EXPECT_EQ(simsite({"path", site.name(), "zz"}).status, 1);
    std::string p = site.path("a", "/");
    ASSERT_TRUE(site.down());
    struct stat st;
    EXPECT_NE(stat(p.c_str(), &st), 0) << "the view must be gone";
}

TEST(Lifecycle, TheAudiumStandInIsCopiedIntoEveryHost) {
    SKIP_WITHOUT_SITES();
    std::string dir = "/tmp/" + unique("audium");
    ASSERT_EQ(mkdir(dir.c_str(), 0755), 0);
    {
        std::ofstream(dir + "/status.sh") << "#!/bin/sh\necho up\n";
        std::ofstream(dir + "/control") << "load=ok\n";
    }
    chmod((dir + "/status.sh").c_str(), 0644);
    mkdir((dir + "/sub").c_str(), 0755);
    testsite::Site site;
    testsite::UpOptions o;
    o.audium = dir;
    bool up = site.up({"a", "b"}, o);
    unlink((dir + "/status.sh").c_str());
    unlink((dir + "/control").c_str());
    rmdir((dir + "/sub").c_str());
    rmdir(dir.c_str());
    ASSERT_TRUE(up) << site.error();
    for (auto h : {"a", "b"}) {
        struct stat st;
        std::string p = site.path(h, "/opt/audium/admin/appScripts/status.sh");
        ASSERT_EQ(stat(p.c_str(), &st), 0) << h;
        EXPECT_EQ(st.st_mode & 07777, 0777u);
        EXPECT_EQ(site.read_file(h, "/opt/audium/admin/appScripts/control"), "load=ok\n");
        EXPECT_FALSE(site.exists(h, "/opt/audium/admin/appScripts/sub"));
    }
    auto r = site.exec("b", {"/bin/sh", "-c", "$AUDIUM_HOME/admin/appScripts/status.sh"});
    EXPECT_EQ(r.out, "up\n");
}

TEST(Lifecycle, TheProjectsStandInIsTheDefault) {
    testsite::Site site;
    SITE_UP_OR_SKIP(site, {"a"});
    struct stat st;
    if (stat(SOURCE_DIR "/site/audium/status.sh", &st) != 0)
        GTEST_SKIP() << "no Audium stand-in in site/audium";
    EXPECT_TRUE(site.exists("a", "/opt/audium/admin/appScripts/status.sh"));
}

} // namespace
