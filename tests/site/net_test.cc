// Networked sites: every host on the site's own network with a real sshd, the station
// on a host of its own reaching the others through `tarko_station --ssh`, and the
// agents relaying to each other through the ssh remote shell.
#include "files.h"
#include "site.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <dirent.h>
#include <fstream>
#include <map>
#include <set>
#include <thread>
#include <unistd.h>

namespace {

constexpr const char *kStation = "/usr/local/bin/tarko_station";

class NetSite : public ::testing::Test {
  protected:
    testsite::Site site;

    void up(std::vector<std::string> hosts) {
        hosts.insert(hosts.begin(), "st");
        NET_SITE_UP_OR_SKIP(site, hosts);
        ASSERT_TRUE(site.install("st", testproc::bin("tarko_station"), kStation));
        ASSERT_TRUE(site.write_file("st", "/srv/work/.keep", ""));
    }
    // tarko_station --ssh on host st, in /srv/work.
    testproc::Result station(const std::string &hosts, std::vector<std::string> args,
                             std::vector<std::string> env = {}) {
        std::vector<std::string> argv = {kStation, "--ssh", "-H", hosts};
        argv.insert(argv.end(), args.begin(), args.end());
        testproc::Options o;
        o.cwd = "/srv/work";
        o.env = env;
        o.timeout_ms = 60000;
        return site.exec("st", argv, o);
    }
    testproc::Result sh(const std::string &host, const std::string &script) {
        return site.exec(host, {"/bin/sh", "-c", script});
    }
};

std::string every_byte(std::size_t n) {
    std::string s(n, '\0');
    const char tricky[] = "~.~C\r\n\0";
    for (std::size_t i = 0; i < n; i++)
        s[i] = i % 97 < 7 ? tricky[i % 97] : static_cast<char>(i * 131 % 256);
    return s;
}

TEST_F(NetSite, StationSessionThroughSsh) {
    up({"a", "b", "c"});
    std::string data = every_byte(256 * 1024);
    ASSERT_TRUE(site.write_file("st", "/srv/work/bytes.bin", data));
    auto r = station("a,b,c", {"-j", "3", "put", "bytes.bin", "/srv/data"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (auto h : {"a", "b", "c"})
        EXPECT_EQ(site.read_file(h, "/srv/data/bytes.bin"), data) << h;
    r = station("b", {"get", "/srv/data", "bytes.bin", "back.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(site.read_file("st", "/srv/work/back.bin"), data);
    r = station("c", {"sum", "/srv/data", "bytes.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string sum = sh("st", "cksum < /srv/work/bytes.bin").out;
    EXPECT_EQ(r.out, sum.substr(0, sum.size() - 1) + " /srv/data/bytes.bin\n");
    r = station("c", {"rm", "/srv/data", "bytes.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(site.exists("c", "/srv/data/bytes.bin"));

    // a relays to c through its own remote shell, ssh.
    r = station("a", {"push", "c", "/srv/data", "bytes.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(site.read_file("c", "/srv/data/bytes.bin"), data);
    r = station("a", {"rmremote", "c", "/srv/data", "bytes.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(site.exists("c", "/srv/data/bytes.bin"));

    ASSERT_TRUE(site.write_file("st", "/srv/work/menu.xml", "<menu/>\n"));
    r = station("b", {"sync", "--streams", "2", "bytes.bin", "menu.xml", "/srv/data"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(site.read_file("b", "/srv/data/menu.xml"), "<menu/>\n");
    EXPECT_NE(r.out.find("skipped /srv/data/bytes.bin: unchanged"), std::string::npos) << r.out;

    // Over the shared connections that stand, sessions open without ssh; once a master
    // is gone, ssh is started again and makes a new one.
    ASSERT_TRUE(site.write_file(
        "st", "/srv/work/bin/ssh",
        "#!/bin/sh\necho \"$@\" >>/srv/work/ssh.log\nexec /usr/bin/ssh \"$@\"\n", 0755));
    std::vector<std::string> path = {"PATH=/srv/work/bin:/usr/bin:/bin"};
    r = station("a,b", {"sync", "--streams", "2", "bytes.bin", "menu.xml", "/srv/data"}, path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(site.read_file("a", "/srv/data/menu.xml"), "<menu/>\n");
    EXPECT_FALSE(site.exists("st", "/srv/work/ssh.log"));
    ASSERT_EQ(sh("st", "pkill -f '^ssh: .*mux'; sleep 0.3").status, 0);
    r = station("a", {"sum", "/srv/data", "bytes.bin"}, path);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(site.exists("st", "/srv/work/ssh.log"));

    // Deployment: the Audium stand-in refuses the second version, the first comes back.
    auto jar = [&](const std::string &v) {
        return sh("st", "cd /srv/work && rm -rf t && mkdir -p t/ivr1/data t/ivr1/java && echo " +
                            v + " > t/ivr1/data/version && echo x > t/ivr1/java/Main.class && " +
                            "jar cf ivr1-" + v + ".jar -C t ivr1")
                   .status == 0;
    };
    if (!jar("v1") || !jar("v2"))
        GTEST_SKIP() << "jar is not installed";
    r = station("a", {"deploy", "ivr1", "ivr1-v1.jar"});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_TRUE(site.write_file("a", "/opt/audium/standin/ivr1.mode", "updateApp refuse\n"));
    r = station("a", {"deploy", "ivr1", "ivr1-v2.jar"});
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(site.read_file("a", "/opt/audium/applications/ivr1/data/version"), "v1\n");
}

// True once c's /srv/data holds data of an upload beside the target.
bool far_upload_begun(const testsite::Site &site) {
    DIR *d = opendir(site.path("c", "/srv/data").c_str());
    bool begun = false;
    while (dirent *de = d ? readdir(d) : nullptr) {
        std::string n = de->d_name;
        if (n != "." && n != ".." && n != "big")
            begun = begun || testfiles::read_file(site.path("c", "/srv/data/" + n)).size() > 0;
    }
    if (d)
        closedir(d);
    return begun;
}

// The far host of a relay loses its sshd, or its network, in the middle of a push: the
// answer comes within the time limits, and the far file is the old one or the new one.
TEST_F(NetSite, RelayWhoseFarHostGoesAwayMidPush) {
    up({"a", "c"});
    std::string big = every_byte(4 << 20);
    ASSERT_TRUE(site.write_file("a", "/srv/data/big", big));
    for (const char *cut : {"pkill -x sshd", "ip link set eth0 down"}) {
        ASSERT_TRUE(site.write_file("c", "/srv/data/big", "old\n"));
        ASSERT_EQ(testproc::run({testsite::simsite(), "link", site.name(), "c", "--rate", "8mbit"})
                      .status,
                  0);
        testproc::Child push;
        ASSERT_TRUE(site.spawn(
            "st", {kStation, "--ssh", "-H", "a", "push", "c", "/srv/data", "big"}, push));
        testproc::close_input(push);
        // Mid-push: once the far agent has begun its temporary file.
        for (int i = 0; i < 400 && !far_upload_begun(site); i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        ASSERT_TRUE(far_upload_begun(site)) << cut;
        auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(sh("c", cut).status, 0) << cut;
        int st = testproc::wait(push, 60000);
        std::string err = testproc::read_all(push.err, 1000);
        testproc::reap(push);
        auto waited = std::chrono::steady_clock::now() - start;
        EXPECT_TRUE(st == 10 || st == 17) << cut << ": " << st << " " << err;
        EXPECT_LT(waited, std::chrono::seconds(45)) << cut;
        std::string now = site.read_file("c", "/srv/data/big");
        EXPECT_TRUE(now == "old\n" || now == big) << cut << ": " << now.size() << " bytes";
        // Back for the next round: sshd again, the link up and unshaped.
        sh("c", "ip link set eth0 up; /usr/sbin/sshd -E /var/log/sshd.log");
        testproc::run({testsite::simsite(), "link", site.name(), "c", "--clear"});
    }
}

// Each failure of ssh is one line naming the host, within the time allowed.
TEST_F(NetSite, SshFailuresAreOneLineNamingTheHost) {
    up({"a", "b", "c"});
    // A fresh home each time: no shared connection to skip the checks.
    int n = 0;
    auto fresh = [&] { return std::vector<std::string>{"HOME=/srv/home" + std::to_string(++n)}; };
    ASSERT_EQ(sh("st", "sed -i '/^c,/d' /etc/ssh/ssh_known_hosts").status, 0);
    ASSERT_EQ(sh("a", ": > /root/.ssh/authorized_keys").status, 0);
    ASSERT_EQ(sh("b", "ip link set eth0 down").status, 0);
    struct Case {
        const char *host, *words;
    } cases[] = {{"c", "tarko_station: c: ssh does not know the host's key"},
                 {"a", "tarko_station: a: the host refused our ssh key"},
                 {"b", "tarko_station: b: the host cannot be reached"},
                 {"nosuch", "tarko_station: nosuch: no such host name"}};
    for (auto &c : cases) {
        auto r = station(c.host, {"-t", "5", "sum", "/etc", "hostname"}, fresh());
        EXPECT_EQ(r.status, 69) << c.host << ": " << r.err;
        EXPECT_EQ(r.err.rfind(c.words, 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(r.timed_out);
    }
}

// A further host whose name the remote shell would read as an option is refused by the
// agent that would relay to it: no ssh starts, nothing runs.
TEST_F(NetSite, RelayToAHostNamedLikeAnOptionIsRefused) {
    up({"a"});
    ASSERT_TRUE(site.write_file("a", "/srv/d/f", "data"));
    // A path of the views' own, which nothing on this machine can hold already.
    const std::string mark = "/srv/proxy-command-ran";
    const std::string host = "-oProxyCommand=touch " + mark;
    for (const char *cmd : {"push", "rmremote"}) {
        auto r = station("a", {cmd, "--", host, "/srv/d", "f"});
        EXPECT_EQ(r.status, 12) << cmd << ": " << r.err;
        // The agent's log line comes with the failed request.
        EXPECT_NE(r.err.find("Refused host name " + host), std::string::npos) << r.err;
    }
    EXPECT_FALSE(site.exists("a", mark));
    EXPECT_FALSE(site.exists("st", mark));
}

// The processes the site daemon started itself (hosts, delay lines, commands).
std::size_t daemon_children(pid_t daemon) {
    std::string c = testfiles::read_file("/proc/" + std::to_string(daemon) + "/task/" +
                                         std::to_string(daemon) + "/children");
    return static_cast<std::size_t>(std::count(c.begin(), c.end(), ' '));
}

// A delayed line: every round trip to the host takes twice the delay longer, data pass
// whole beside a rate, and --clear ends the delay line.
TEST_F(NetSite, DelayedLinkCarriesDataAndClears) {
    up({"a"});
    auto link = [&](std::vector<std::string> args) {
        args.insert(args.begin(), {testsite::simsite(), "link", site.name(), "a"});
        return testproc::run(args);
    };
    std::size_t children = daemon_children(site.pid());
    auto r = link({"--rate", "50mbit", "--delay", "60"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(daemon_children(site.pid()), children + 1);
    std::string data = every_byte(3 << 20);
    ASSERT_TRUE(site.write_file("st", "/srv/work/d.bin", data));
    ASSERT_EQ(station("a", {"put", "d.bin", "/srv/data"}).status, 0);
    EXPECT_EQ(site.read_file("a", "/srv/data/d.bin"), data);
    // ssh's shared connection is up by now: a sum is one exchange of it at least.
    auto start = std::chrono::steady_clock::now();
    r = station("a", {"sum", "/srv/data", "d.bin"});
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GE(took, std::chrono::milliseconds(120));
    std::string sum = sh("st", "cksum < /srv/work/d.bin").out;
    EXPECT_EQ(r.out, sum.substr(0, sum.size() - 1) + " /srv/data/d.bin\n");
    r = station("a", {"get", "/srv/data", "d.bin", "back.bin"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(site.read_file("st", "/srv/work/back.bin"), data);

    ASSERT_EQ(link({"--clear"}).status, 0);
    EXPECT_EQ(daemon_children(site.pid()), children);
    EXPECT_EQ(sh("st", "ssh a echo ok").out, "ok\n");
    // A new shape replaces the line before it, and the delay line is one again.
    ASSERT_EQ(link({"--delay", "5"}).status, 0);
    ASSERT_EQ(link({"--delay", "7"}).status, 0);
    EXPECT_EQ(daemon_children(site.pid()), children + 1);
    EXPECT_EQ(sh("st", "ssh a echo ok").out, "ok\n");
}

// The /dev of a networked host is its own tmpfs, with its own terminals for sshd.
TEST_F(NetSite, HostHasAPrivateDev) {
    up({"a"});
    auto r = sh("st", "ssh -tt a 'stat -f -c %T /dev; tty; test -e /dev/vda || echo no-vda; "
                      "test -c /dev/null && test -c /dev/zero && test -c /dev/urandom && echo "
                      "devices' < /dev/null");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out.rfind("tmpfs\r\n/dev/pts/", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\r\nno-vda\r\ndevices\r\n"), std::string::npos) << r.out;
}

TEST_F(NetSite, FanOutToTenHostsSharesConnections) {
    std::vector<std::string> hosts;
    std::string list;
    for (const char *h : {"h1", "h2", "h3", "h4", "h5", "h6", "h7", "h8", "h9", "h10"}) {
        hosts.push_back(h);
        list += (list.empty() ? "" : ",") + hosts.back();
    }
    up(hosts);
    ASSERT_TRUE(site.write_file("st", "/srv/work/f", "fan\n"));
    auto r = station(list, {"-j", "8", "put", "f", "/srv/data"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    for (auto &h : hosts)
        EXPECT_EQ(site.read_file(h, "/srv/data/f"), "fan\n") << h;
    // One shared connection per host, and a second run goes through them.
    EXPECT_EQ(sh("st", "ls /root/.cache/tarko/ssh | grep -vc '^log'").out, "10\n");
    r = station(list, {"-j", "8", "sum", "/srv/data", "f"});
    EXPECT_EQ(r.status, 0) << r.err;
}

// The network namespaces of the site: its daemon's and every one of its processes'.
std::set<std::string> site_nets(pid_t daemon) {
    std::map<int, int> parent;
    DIR *d = opendir("/proc");
    while (dirent *de = d ? readdir(d) : nullptr) {
        int pid = atoi(de->d_name);
        if (pid <= 0)
            continue;
        std::ifstream f(std::string("/proc/") + de->d_name + "/stat");
        std::string stat((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        std::size_t paren = stat.rfind(')');
        if (paren != std::string::npos)
            parent[pid] = atoi(stat.c_str() + paren + 4);
    }
    if (d)
        closedir(d);
    std::set<std::string> nets;
    for (auto [pid, ppid] : parent) {
        int p = pid;
        while (p > 1 && p != daemon)
            p = parent.count(p) ? parent[p] : 0;
        char buf[64] = "";
        std::string link = "/proc/" + std::to_string(pid) + "/ns/net";
        if (p == daemon && readlink(link.c_str(), buf, sizeof buf - 1) > 0)
            nets.insert(buf);
    }
    return nets;
}

bool any_process_in(const std::set<std::string> &nets) {
    DIR *d = opendir("/proc");
    bool found = false;
    while (dirent *de = d ? readdir(d) : nullptr) {
        char buf[64] = "";
        std::string link = std::string("/proc/") + de->d_name + "/ns/net";
        if (atoi(de->d_name) > 0 && readlink(link.c_str(), buf, sizeof buf - 1) > 0)
            found = found || nets.count(buf);
    }
    if (d)
        closedir(d);
    return found;
}

std::string machine_mounts() {
    return testfiles::read_file("/proc/self/mountinfo");
}

// OpenSSH's scp speaks sftp unless told otherwise: the hosts' sshd has the subsystem
// where a Debian host has it, so scp, and the tools built on it, run unchanged.
TEST_F(NetSite, PlainScpCopiesToAHost) {
    up({"a"});
    ASSERT_TRUE(site.write_file("st", "/srv/work/prompt.wav", every_byte(100000)));
    auto r = sh("st", "cd /srv/work && scp -q prompt.wav a:/tmp/ && scp -q a:/tmp/prompt.wav back");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(site.read_file("a", "/tmp/prompt.wav"), every_byte(100000));
    EXPECT_EQ(site.read_file("st", "/srv/work/back"), every_byte(100000));
}

// Two sites side by side, each with a host "a" at the same address; one goes down in
// order, the other's daemon is killed: nothing of either stays.
TEST(NetSiteLifecycle, SideBySideAndNothingOutlivesThem) {
    std::string mounts = machine_mounts();
    testsite::Site one, two;
    NET_SITE_UP_OR_SKIP(one, std::vector<std::string>({"a", "b"}));
    NET_SITE_UP_OR_SKIP(two, std::vector<std::string>({"a", "b"}));
    // Delay lines end with their sites too.
    for (auto *s : {&one, &two})
        ASSERT_EQ(
            testproc::run({testsite::simsite(), "link", s->name(), "a", "--delay", "2"}).status, 0);
    EXPECT_EQ(one.exec("b", {"ssh", "a", "cat", "/etc/simsite"}).out,
              "site " + one.name() + "\nhost a\n");
    EXPECT_EQ(two.exec("b", {"ssh", "a", "cat", "/etc/simsite"}).out,
              "site " + two.name() + "\nhost a\n");
    std::set<std::string> nets = site_nets(one.pid()), nets2 = site_nets(two.pid());
    EXPECT_GE(nets.size(), 3u); // the switch and two hosts
    EXPECT_GE(nets2.size(), 3u);
    nets.insert(nets2.begin(), nets2.end());
    EXPECT_TRUE(one.down()) << one.error();
    kill(two.pid(), SIGKILL);
    two.down();
    for (int i = 0; i < 100 && any_process_in(nets); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(any_process_in(nets));
    EXPECT_EQ(machine_mounts(), mounts);
}

// A fleet-sized site: two hundred hosts come up, reach each other across the whole
// range of addresses, and go down leaving no process and no mount behind.
TEST(NetSiteLifecycle, SlowTwoHundredHostsUpAndDown) {
    std::string mounts = machine_mounts();
    std::vector<std::string> hosts;
    for (int i = 1; i <= 200; i++)
        hosts.push_back("ivr" + std::to_string(i));
    testsite::Site site;
    NET_SITE_UP_OR_SKIP(site, hosts);
    auto r = site.exec("ivr200", {"/bin/sh", "-c", "ssh ivr1 hostname && ssh ivr150 hostname"});
    EXPECT_EQ(r.out, "ivr1\nivr150\n") << r.err;
    std::set<std::string> nets = site_nets(site.pid());
    EXPECT_GE(nets.size(), 201u); // the switch and every host
    EXPECT_TRUE(site.down()) << site.error();
    for (int i = 0; i < 300 && any_process_in(nets); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_FALSE(any_process_in(nets));
    EXPECT_EQ(machine_mounts(), mounts);
}

bool any_process_naming(const std::string &name) {
    DIR *d = opendir("/proc");
    bool found = false;
    while (dirent *de = d ? readdir(d) : nullptr)
        if (atoi(de->d_name) > 0 && atoi(de->d_name) != getpid())
            found =
                found ||
                testfiles::read_file(std::string("/proc/") + de->d_name + "/cmdline").find(name) !=
                    std::string::npos;
    if (d)
        closedir(d);
    return found;
}

// A host whose sshd cannot start fails the whole up, and nothing of the site stays.
TEST(NetSiteLifecycle, AFailedUpLeavesNothing) {
    std::string why;
    if (!testsite::net_available(&why))
        GTEST_SKIP() << "networked site unavailable: " << why;
    std::string mounts = machine_mounts();
    std::string name = "tfail" + std::to_string(getpid());
    // sshd's configuration cannot hold a '"': its sshd ends at once.
    auto r = testproc::run({testsite::simsite(), "up", "--net", "--owner", std::to_string(getpid()),
                            "--java-home", "/opt/j\"dk", name, "a", "b"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(": sshd ended at once"), std::string::npos) << r.err;
    for (int i = 0; i < 100 && any_process_naming(name); i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(any_process_naming(name));
    EXPECT_NE(testproc::run({testsite::simsite(), "status", name}).status, 0);
    EXPECT_EQ(machine_mounts(), mounts);
}

} // namespace
