// Host groups from sources of the host file ("@SOURCE = COMMAND", -H @SOURCE:GROUP):
// stand-in sources made of shell commands, and the two sources of examples/ over a
// small Ansible inventory (INI and YAML) and a genders file when their tools are here.
#include "files.h"
#include "proc.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class GroupSource : public ::testing::Test {
  protected:
    std::string dir;

    void SetUp() override {
        char tmpl[] = "/tmp/groupsource_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0); }

    // tarko_station with the host file hosts (written into the test's directory).
    testproc::Result station(const std::string &hosts, std::vector<std::string> args) {
        testfiles::write_file(dir + "/hosts", hosts);
        args.insert(args.begin(), testproc::bin("tarko_station"));
        testproc::Options o;
        o.cwd = "/";
        o.timeout_ms = 30000;
        o.env = {"TARKO_HOSTS=" + dir + "/hosts", "XDG_STATE_HOME=" + dir + "/state"};
        o.unset = {"TARKO_AGENT"};
        return testproc::run(args, o);
    }
};

TEST_F(GroupSource, HostsOfASourceAreNamesAndRangesAskedOncePerGroup) {
    // The command runs in the host file's directory, the group quoted for the shell.
    std::string hosts = "@cmdb = echo {group} >>asked; printf '%s\\n' 'ivr[01-02] ivr07' "
                        "'media1,media2' {group}\n"
                        "web: @cmdb:web1 ivr09\n";
    auto r = station(hosts, {"-H", "@web", "hosts", "@cmdb:web1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "ivr01\nivr02\nivr07\nmedia1\nmedia2\nweb1\nivr09\n");
    r = station(hosts, {"-H", "@cmdb:web1", "-x", "@cmdb:web2", "hosts"});
    EXPECT_EQ(r.out, "web1\n");
    EXPECT_EQ(testfiles::read_file(dir + "/asked"), "web1\nweb1\nweb2\n");
    // Quoted: the group reaches the command as one word, never as shell text.
    r = station(hosts, {"hosts", "@cmdb:$(touch${IFS}made)"});
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(access((dir + "/made").c_str(), F_OK), 0);
    EXPECT_NE(r.err.find("'$' cannot stand in a host name"), std::string::npos) << r.err;
}

TEST_F(GroupSource, ASourceThatFailsIsOneLineAndNoHostIsContacted) {
    std::string marker = dir + "/contacted";
    struct Case {
        std::string command, said;
    };
    for (const Case &k : std::vector<Case>{
             {"echo no such group >&2; exit 3",
              "source s, group g: the command exited with status 3: no such group\n"},
             {"true", "source s, group g: the command printed no host\n"},
             {"echo @other", "a source gives host names and ranges only\n"},
             {"kill -9 $$", "source s, group g: the command was killed by signal 9\n"}}) {
        auto r = station("@s = " + k.command + "\n",
                         {"--agent", "touch " + marker, "-H", "@s:g", "sum", "/d", "n"});
        EXPECT_EQ(r.status, 64) << k.command;
        EXPECT_NE(r.err.find(k.said), std::string::npos) << r.err;
        EXPECT_NE(access(marker.c_str(), F_OK), 0) << k.command;
    }
    auto r = station("@s = true\n", {"hosts", "@t:g"});
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find("unknown source t (no line \"@t = command\" in"), std::string::npos)
        << r.err;
    r = station("@s true\n", {"hosts", "@s:g"});
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find("a source line reads \"@source = command\""), std::string::npos) << r.err;

    auto t0 = std::chrono::steady_clock::now();
    r = station("@s = sleep 30 & sleep 30\n", {"hosts", "@s:g"});
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find("source s, group g: the command ran past 10 seconds"), std::string::npos)
        << r.err;
    EXPECT_LT(s, 15);
}

TEST_F(GroupSource, TheExamplesOverAnAnsibleInventoryAndAGendersFile) {
    if (system("command -v ansible-inventory >/dev/null && command -v nodeattr >/dev/null") != 0)
        GTEST_SKIP() << "ansible-inventory or nodeattr is not installed (ansible-core, genders)";
    testfiles::write_file(dir + "/inventory.ini", "[ivr]\nivr[01:03]\n\n[media]\nm1\n\n"
                                                  "[site:children]\nivr\nmedia\n");
    std::string hosts = "@ini = " SOURCE_DIR "/examples/ansible-hosts inventory.ini {group}\n";
    auto r = station(hosts, {"hosts", "@ini:site"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "ivr01\nivr02\nivr03\nm1\n");
    r = station(hosts, {"hosts", "@ini:web"});
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find("source ini, group web: the command exited with status 1: no group web "
                         "in inventory.ini"),
              std::string::npos)
        << r.err;

    // The host file of examples/, as the README shows it.
    testproc::Options o;
    o.env = {"TARKO_HOSTS=" SOURCE_DIR "/examples/hosts"};
    o.timeout_ms = 30000;
    r = testproc::run({testproc::bin("tarko_station"), "hosts", "@ansible:media,@genders:ivr"}, o);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "C\nA\nB\n");
    r = testproc::run({testproc::bin("tarko_station"), "hosts", "@genders:voicemail"}, o);
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find("source genders, group voicemail: the command printed no host"),
              std::string::npos)
        << r.err;
}

} // namespace
