// The remote log spool and is_local_host. Spool files live under the fixed directory
// "/usr/logs/tosend": those cases run zavlib_probe inside simulated site hosts. Host
// names and the host database are set per case in namespaces of the test's own, with
// the resolver held to the hosts file, so no lookup ever leaves the machine.
#include "files.h"
#include "site.h"
#include "testnet.h"
#include "zavlib.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using testfiles::read_file;

mode_t mode_of(const std::string &path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// The bytes of one spool_record.
std::string record(const std::string &path, const std::string &line) {
    std::uint32_t plen = static_cast<std::uint32_t>(path.size() + 1);
    std::uint32_t llen = static_cast<std::uint32_t>(line.size() + 1);
    std::string r(reinterpret_cast<const char *>(&plen), 4);
    r.append(reinterpret_cast<const char *>(&llen), 4);
    r += path;
    r.push_back('\0');
    r += line;
    r.push_back('\0');
    return r;
}

// ---- is_local_host, in a namespace with a host name and hosts file of its own ------

const char hosts_file[] = "127.0.0.1 Myhost.Example.Org myhost mh-alias\n";

int local_check(const char *self, const char *name) {
    int status = testnet::isolated(testnet::ns_host | testnet::ns_net | testnet::ns_mounts, [&] {
        char scratch[] = "/tmp/zavlib-hosts-XXXXXX";
        int fd = mkstemp(scratch);
        if (fd < 0)
            return testnet::ns_unavailable;
        close(fd);
        std::string nss = std::string(scratch) + ".nss";
        if (!testnet::cover_file("/etc/hosts", hosts_file, scratch) ||
            !testnet::cover_file("/etc/nsswitch.conf", "hosts: files\n", nss.c_str()) ||
            sethostname(self, std::strlen(self)) < 0)
            return testnet::ns_unavailable;
        unlink(scratch);
        unlink(nss.c_str());
        return 100 + is_local_host(name);
    });
    return status == testnet::ns_unavailable ? status : status - 100;
}

TEST(IsLocalHost, MatchesNameOfficialNameAndAliasesIgnoringCase) {
    int r = local_check("myhost", "MYHOST");
    if (r == testnet::ns_unavailable)
        GTEST_SKIP() << "namespaces unavailable";
    EXPECT_EQ(r, 0);
    EXPECT_EQ(local_check("myhost", "myhost.example.org"), 0);
    EXPECT_EQ(local_check("myhost", "MH-Alias"), 0);
    EXPECT_EQ(local_check("myhost", "other"), -3);
    // Addresses are never compared.
    EXPECT_EQ(local_check("myhost", "127.0.0.1"), -3);
}

// A host name may use all 64 characters the system allows; it is read whole.
TEST(IsLocalHost, LongestHostNameIsReadWhole) {
    std::string longest(64, 'h');
    int r = local_check(longest.c_str(), longest.c_str());
    if (r == testnet::ns_unavailable)
        GTEST_SKIP() << "namespaces unavailable";
    EXPECT_EQ(r, 0);
    EXPECT_EQ(local_check(longest.c_str(), longest.substr(0, 63).c_str()), -2);
}

TEST(IsLocalHost, UnresolvableOwnNameGivesMinus2) {
    int r = local_check("nowhere", "nowhere");
    if (r == testnet::ns_unavailable)
        GTEST_SKIP() << "namespaces unavailable";
    EXPECT_EQ(r, 0); // the name itself still matches before any lookup
    EXPECT_EQ(local_check("nowhere", "elsewhere"), -2);
}

// ---- rlogger delivering locally: the host is this machine, the path the test's ------

class LocalDelivery : public ::testing::Test {
  protected:
    std::string dir;
    char self[65] = {};
    mode_t saved = 0;
    void SetUp() override {
        char tmpl[] = "/tmp/zavlib-spool-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        std::snprintf(errlog_dir, sizeof errlog_dir, "%s/log", dir.c_str());
        ASSERT_EQ(gethostname(self, sizeof self), 0);
        if (is_local_host(self) != 0)
            GTEST_SKIP() << "this machine's name does not name it";
        saved = umask(077);
    }
    void TearDown() override {
        umask(saved);
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    std::string errlog_text() {
        time_t now = time(nullptr);
        struct tm t {};
        localtime_r(&now, &t);
        char name[32];
        std::snprintf(name, sizeof name, "/log/errlog%02d%02d", t.tm_mon + 1, t.tm_mday);
        return read_file(dir + name);
    }
};

TEST_F(LocalDelivery, LineIsAppendedWithoutItsNul) {
    std::string path = dir + "/dest";
    std::ofstream(path) << "first\n";
    EXPECT_EQ(rlogger(self, path.c_str(), "second\n"), 0);
    EXPECT_EQ(read_file(path), "first\nsecond\n");
    EXPECT_EQ(umask(077), 077u);
}

TEST_F(LocalDelivery, MissingDirectoriesAndFileIgnoreTheUmask) {
    std::string path = dir + "/x/y/dest";
    EXPECT_EQ(rlogger(self, path.c_str(), "line\n"), 0);
    EXPECT_EQ(read_file(path), "line\n");
    EXPECT_EQ(mode_of(dir + "/x"), 0777u);
    EXPECT_EQ(mode_of(dir + "/x/y"), 0777u);
    EXPECT_EQ(mode_of(path), 0666u);
    EXPECT_EQ(umask(077), 077u);
}

TEST_F(LocalDelivery, UnopenableDestinationIsLoggedLocallyAndFails) {
    std::ofstream(dir + "/plain") << "x";
    std::string path = dir + "/plain/dest";
    EXPECT_EQ(rlogger(self, path.c_str(), "lost\n"), -1);
    EXPECT_EQ(umask(077), 077u);
    std::string log = errlog_text();
    std::string expect =
        " : MAJ 05215 open error[" + path + "] errno=(20) pid(" + std::to_string(getpid()) + ")\n";
    EXPECT_NE(log.find(expect), std::string::npos) << log;
}

// ---- The spool, inside simulated site hosts ---------------------------------------

testsite::UpOptions site_options() {
    testsite::UpOptions o;
    o.agent = "/bin/true"; // no agent needed here
    return o;
}

// The host database of a view: its own name resolves, nothing leaves the machine.
void hold_resolver(testsite::Site &site, const std::string &host, const std::string &hosts) {
    ASSERT_TRUE(site.write_file(host, "/etc/nsswitch.conf", "hosts: files\n"));
    ASSERT_TRUE(site.write_file(host, "/etc/hosts", hosts));
}

testproc::Result probe(testsite::Site &site, const std::string &host,
                       const std::vector<std::string> &args) {
    std::vector<std::string> argv = {ZAVLIB_PROBE};
    argv.insert(argv.end(), args.begin(), args.end());
    return site.exec(host, argv);
}

TEST(SpoolSite, RecordGoesToTheHourlyFileOfTheUpperCaseHost) {
    testsite::Site site;
    SITE_UP_OR_SKIP(site, {"a"}, site_options());
    hold_resolver(site, "a", "127.0.0.1 localhost a\n");
    std::string line = std::string(39, 'l') + "\n"; // 40 characters with the newline
    auto r = probe(site, "a",
                   {"--at", "20240704134000", "--umask", "022", "rlogger", "loghost",
                    "/usr/log/ivo/errlog0704", line});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "rlogger=0\numask=022\n");
    std::string spooled = site.read_file("a", "/usr/logs/tosend/LOGHOST0413");
    std::string expect = record("/usr/log/ivo/errlog0704", line);
    ASSERT_EQ(expect.size(), 73u);
    EXPECT_EQ(spooled, expect);
    // Created whatever the umask: open to the collector.
    EXPECT_EQ(mode_of(site.path("a", "/usr/logs")), 0777u);
    EXPECT_EQ(mode_of(site.path("a", "/usr/logs/tosend")), 0777u);
    EXPECT_EQ(mode_of(site.path("a", "/usr/logs/tosend/LOGHOST0413")), 0666u);

    // A second record in the same hour is appended; the host name keeps its other bytes.
    r = probe(site, "a",
              {"--at", "20240704135959", "rlogger", "LogHost", "/usr/log/ivo/errlog0704", "2\n"});
    EXPECT_EQ(r.out, "rlogger=0\numask=022\n");
    EXPECT_EQ(site.read_file("a", "/usr/logs/tosend/LOGHOST0413"),
              expect + record("/usr/log/ivo/errlog0704", "2\n"));
    r = probe(site, "a", {"--at", "20240704135959", "rlogger", "log-1.b", "/p", "3\n"});
    EXPECT_EQ(site.read_file("a", "/usr/logs/tosend/LOG-1.B0413"), record("/p", "3\n"));
}

TEST(SpoolSite, MidnightSplitsTheSpoolFiles) {
    testsite::Site site;
    SITE_UP_OR_SKIP(site, {"a"}, site_options());
    hold_resolver(site, "a", "127.0.0.1 localhost a\n");
    probe(site, "a", {"--at", "20240731235900", "rlogger", "zz", "/f", "late\n"});
    probe(site, "a", {"--at", "20240801000000", "rlogger", "zz", "/f", "early\n"});
    EXPECT_EQ(site.read_file("a", "/usr/logs/tosend/ZZ3123"), record("/f", "late\n"));
    EXPECT_EQ(site.read_file("a", "/usr/logs/tosend/ZZ0100"), record("/f", "early\n"));
}

// A major line: written to the default daily file and spooled for the central host.
TEST(SpoolSite, MajorLineIsSpooledForTheCentralHost) {
    testsite::Site site;
    SITE_UP_OR_SKIP(site, {"a"}, site_options());
    hold_resolver(site, "a", "127.0.0.1 localhost a\n");
    auto r = probe(site, "a", {"--at", "20240704130559", "--umask", "077", "write", "MAJ", "x"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "umask=077\n");
    std::string line = "07/04 13:05:59 : MAJ x\n";
    EXPECT_EQ(site.read_file("a", "/usr/log/ivo/errlog0704"), line);
    EXPECT_EQ(site.read_file("a", "/usr/logs/tosend/ZAVLOG0413"),
              record("/usr/log/ivo/errlog0704", line));
    // Made under the caller's umask, unlike the spool.
    EXPECT_EQ(mode_of(site.path("a", "/usr/log/ivo")), 0700u);
    EXPECT_EQ(mode_of(site.path("a", "/usr/log/ivo/errlog0704")), 0600u);
}

TEST(SpoolSite, LocalLineIsNotSpooled) {
    testsite::Site site;
    SITE_UP_OR_SKIP(site, {"a"}, site_options());
    hold_resolver(site, "a", "127.0.0.1 localhost a\n");
    auto r = probe(site, "a", {"--at", "20240704130559", "write", "LCL", "y"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(site.read_file("a", "/usr/log/ivo/errlog0704"), "07/04 13:05:59 : MCL y\n");
    EXPECT_FALSE(site.exists("a", "/usr/logs/tosend"));
}

// On the central host itself the line goes straight into the named file, which is the
// daily file that already holds it.
TEST(SpoolSite, OnTheCentralHostTheLineStandsTwice) {
    testsite::Site site;
    SITE_UP_OR_SKIP(site, {central_log_host}, site_options());
    hold_resolver(site, central_log_host, "127.0.0.1 localhost\n");
    auto r = probe(site, central_log_host, {"--at", "20240704130559", "write", "MAJ", "z"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string line = "07/04 13:05:59 : MAJ z\n";
    EXPECT_EQ(site.read_file(central_log_host, "/usr/log/ivo/errlog0704"), line + line);
    EXPECT_FALSE(site.exists(central_log_host, "/usr/logs/tosend"));
}

// A host whose own name does not resolve counts every target as another host.
TEST(SpoolSite, UnresolvableOwnNameSpools) {
    testsite::Site site;
    SITE_UP_OR_SKIP(site, {"a"}, site_options());
    hold_resolver(site, "a", "127.0.0.1 localhost\n");
    auto r = probe(site, "a", {"local", "zavlog"});
    EXPECT_EQ(r.out.substr(0, 17), "is_local_host=-2\n");
    r = probe(site, "a", {"--at", "20240704130559", "rlogger", "elsewhere", "/f", "l\n"});
    EXPECT_EQ(r.out.substr(0, 10), "rlogger=0\n");
    EXPECT_EQ(site.read_file("a", "/usr/logs/tosend/ELSEWHERE0413"), record("/f", "l\n"));
}

TEST(SpoolSite, UnopenableSpoolIsLoggedLocallyAndFails) {
    testsite::Site site;
    SITE_UP_OR_SKIP(site, {"a"}, site_options());
    hold_resolver(site, "a", "127.0.0.1 localhost a\n");
    ASSERT_TRUE(site.write_file("a", "/usr/logs", "a file where the spool should be\n"));
    auto r =
        probe(site, "a", {"--at", "20240704130559", "--umask", "027", "rlogger", "h", "/f", "l\n"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "rlogger=-1\numask=027\n");
    std::string log = site.read_file("a", "/usr/log/ivo/errlog0704");
    EXPECT_EQ(log.rfind("07/04 13:05:59 : MAJ 05205 open error[/usr/logs/tosend/H0413] [l\n] "
                        "errno=(20) pid(",
                        0),
              0u)
        << log;
    EXPECT_EQ(log.back(), '\n');
}

} // namespace
