// tarko_station as its users run it, against the local agent started directly
// (--agent build/bin/tarko_remote2) in a temporary directory: the file commands, the
// results and messages, the faults of hosts, agents and local files, and the fan-out.
#include "client.h"
#include "proc.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

class StationLocal : public ::testing::Test {
  protected:
    std::string dir; // the test's own directory; the "host" files live under dir + "/host"

    void SetUp() override {
        char tmpl[] = "/tmp/station_local_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override {
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }

    std::string p(const std::string &rel) const { return dir + "/" + rel; }

    void write(const std::string &rel, const std::string &data) const {
        std::ofstream(p(rel), std::ios::binary) << data;
    }
    std::string read(const std::string &rel) const {
        std::ifstream f(p(rel), std::ios::binary);
        std::stringstream s;
        s << f.rdbuf();
        return s.str();
    }
    bool exists(const std::string &rel) const {
        struct stat st;
        return lstat(p(rel).c_str(), &st) == 0;
    }
    // An executable shell script in the test directory.
    std::string script(const std::string &rel, const std::string &body) const {
        write(rel, "#!/bin/sh\n" + body);
        chmod(p(rel).c_str(), 0755);
        return p(rel);
    }
    // Names in a directory of the test that contain the text.
    std::vector<std::string> names_with(const std::string &rel, const std::string &text) const {
        std::vector<std::string> found;
        if (DIR *d = opendir(p(rel).c_str())) {
            while (dirent *e = readdir(d))
                if (std::string(e->d_name).find(text) != std::string::npos)
                    found.push_back(e->d_name);
            closedir(d);
        }
        return found;
    }

    // tarko_station with the local agent, run in the test directory.
    testproc::Result station(std::vector<std::string> args, testproc::Options opt = {}) const {
        std::vector<std::string> argv{testproc::bin("tarko_station"), "--agent",
                                      testproc::bin("tarko_remote2")};
        argv.insert(argv.end(), args.begin(), args.end());
        return raw(argv, opt);
    }
    testproc::Result raw(std::vector<std::string> argv, testproc::Options opt = {}) const {
        opt.cwd = dir.c_str();
        opt.unset.push_back("TARKO_AGENT");
        opt.env.push_back("XDG_STATE_HOME=" + dir + "/state");
        return testproc::run(argv, opt);
    }
};

testproc::Options timeout(int ms) {
    testproc::Options o;
    o.timeout_ms = ms;
    return o;
}

std::string pattern(std::size_t n) {
    std::string s(n, '\0');
    unsigned x = 12345;
    for (auto &c : s) {
        x = x * 1103515245 + 12345;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

std::string cksum_line(const std::string &data, const std::string &path) {
    return std::to_string(station::checksum_of(data)) + " " + std::to_string(data.size()) + " " +
           path + "\n";
}

TEST_F(StationLocal, PutSumGetRmRoundTrip) {
    std::string data = pattern(300 * 1024 + 7); // several batches and an odd tail
    write("big.bin", data);
    std::string host = p("host/new/sub");
    auto r = station({"put", "big.bin", host});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "local: put " + host + "/big.bin: 0 success (307207 bytes)\n");
    EXPECT_EQ(read("host/new/sub/big.bin"), data);

    r = station({"sum", host, "big.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, cksum_line(data, host + "/big.bin"));
    // The layout is that of cksum itself.
    auto ck = raw({"/usr/bin/cksum", host + "/big.bin"});
    EXPECT_EQ(r.out, ck.out);

    r = station({"get", host, "big.bin", "copy.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "local: get " + host + "/big.bin to copy.bin: 0 success (307207 bytes)\n");
    EXPECT_EQ(read("copy.bin"), data);
    EXPECT_TRUE(names_with("", ".tarko-").empty());

    r = station({"rm", host, "big.bin"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "local: rm " + host + "/big.bin: 0 success\n");
    EXPECT_FALSE(exists("host/new/sub/big.bin"));

    // Gone: the agent's status with its meaning, and the same code as exit status.
    r = station({"sum", host, "big.bin"});
    EXPECT_EQ(r.status, 11);
    EXPECT_NE(r.err.find("tarko_station: local: sum " + host +
                         "/big.bin: 11 the source file cannot be opened for reading\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out, "");
}

TEST_F(StationLocal, PutNamesAndEmptyFiles) {
    write("empty", "");
    write("a.txt", "abc");
    ASSERT_EQ(station({"put", "empty", p("host")}).status, 0);
    EXPECT_TRUE(exists("host/empty"));
    EXPECT_EQ(read("host/empty"), "");
    ASSERT_EQ(station({"put", p("a.txt"), p("host"), "renamed"}).status, 0);
    EXPECT_EQ(read("host/renamed"), "abc");
    auto r = station({"-q", "put", "a.txt", p("host")});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    r = station({"sum", p("host"), "empty"});
    EXPECT_EQ(r.out, "4294967295 0 " + p("host") + "/empty\n");
    r = station({"get", p("host"), "empty", "e2"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(exists("e2"));
}

TEST_F(StationLocal, AgentRefusalsShowTheirCodeAndMeaning) {
    write("a.txt", "abc");
    write("plain", "x");
    // A directory of the path is a plain file.
    auto r = station({"put", "a.txt", p("plain")});
    EXPECT_EQ(r.status, 4);
    EXPECT_NE(r.err.find("put " + p("plain") +
                         "/a.txt: 4 a directory of the path exists but is not a directory"),
              std::string::npos)
        << r.err;
    // The target is a directory.
    mkdir(p("host").c_str(), 0755);
    mkdir(p("host/d").c_str(), 0755);
    r = station({"rm", p("host"), "d"});
    EXPECT_EQ(r.status, 3);
    EXPECT_NE(r.err.find("3 the target path names a directory"), std::string::npos) << r.err;
}

TEST_F(StationLocal, SyncPutsOnlyWhatDiffers) {
    write("same", "unchanged contents");
    write("changed", "new contents");
    write("fresh", "never sent");
    mkdir(p("host").c_str(), 0755);
    write("host/same", "unchanged contents");
    write("host/changed", "old contents");
    auto r = station({"sync", "same", "changed", "fresh", p("host")});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string h = p("host");
    EXPECT_NE(r.out.find("local: skipped " + h + "/same: unchanged (18 bytes, checksum "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("local: put " + h + "/changed: 0 success (12 bytes)"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("local: put " + h + "/fresh: 0 success (10 bytes)"), std::string::npos)
        << r.out;
    EXPECT_EQ(read("host/changed"), "new contents");
    EXPECT_EQ(read("host/fresh"), "never sent");
    // Same length, other bytes: the checksum tells them apart.
    write("same", "unchanged Contents");
    r = station({"sync", "same", "changed", p("host")});
    EXPECT_NE(r.out.find("put " + h + "/same: 0 success"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("skipped " + h + "/changed"), std::string::npos) << r.out;
    // An unreadable local file is refused before the host is contacted.
    write("other", "o");
    r = station({"sync", "other", "missing", p("host")});
    EXPECT_EQ(r.status, 66);
    EXPECT_EQ(r.err, "tarko_station: sync " + h +
                         "/missing: cannot send missing (No such file "
                         "or directory)\n");
    EXPECT_FALSE(exists("host/other"));
}

// A tree with excluded, over-long, linked and special entries: what fits is synced over
// three connections, everything else is named with its reason; a dry run changes nothing.
TEST_F(StationLocal, SyncTreeLeavesOutWhatCannotGo) {
    std::string deep(70, 'd'), longname(40, 'n');
    for (const char *d : {"tree", "tree/sub", "tree/cache"})
        mkdir(p(d).c_str(), 0755);
    mkdir(p("tree/" + deep).c_str(), 0755);
    write("tree/a.wav", "A");
    write("tree/sub/b.wav", "B");
    write("tree/sub/skip.tmp", "T");
    write("tree/cache/c.wav", "C");
    write("tree/" + deep + "/d.wav", "D");
    write("tree/" + longname, "L");
    ASSERT_EQ(symlink("a.wav", p("tree/link").c_str()), 0);
    ASSERT_EQ(mkfifo(p("tree/fifo").c_str(), 0644), 0);
    auto r = station(
        {"sync", "-r", "--skip", "*.tmp", "--skip=cache", "--streams", "3", "tree", p("host")});
    EXPECT_EQ(r.status, 66) << r.err;
    EXPECT_EQ(read("host/a.wav"), "A");
    EXPECT_EQ(read("host/sub/b.wav"), "B");
    for (const char *absent : {"host/sub/skip.tmp", "host/cache", "host/link", "host/fifo"})
        EXPECT_FALSE(exists(absent)) << absent;
    for (const std::string &said : std::vector<std::string>{
             "tree/link left out: a symbolic link, not followed",
             "tree/fifo left out: not a regular file or directory",
             "tree/" + deep + "/d.wav left out: its remote directory is longer",
             "tree/" + longname + " left out: its name is longer than 31"})
        EXPECT_NE(r.err.find(said), std::string::npos) << said << "\n" << r.err;
    EXPECT_EQ(r.err.find("skip.tmp"), std::string::npos) << r.err;

    write("tree/a.wav", "A2");
    write("tree/sub/e.wav", "E");
    r = station({"sync", "-n", "-r", "tree", p("host")});
    std::string h = p("host");
    for (const std::string &said :
         std::vector<std::string>{"would put " + h + "/a.wav: differs (2 bytes)",
                                  "would put " + h + "/sub/e.wav: missing (1 bytes)",
                                  "skipped " + h + "/sub/b.wav: unchanged"})
        EXPECT_NE(r.out.find(said), std::string::npos) << said << "\n" << r.out;
    EXPECT_EQ(read("host/a.wav"), "A");
    EXPECT_FALSE(exists("host/sub/e.wav"));
    EXPECT_FALSE(exists("host/sub/skip.tmp"));

    // Once all is there, the further connections withdraw the puts they started on:
    // everything is unchanged and stays as it was.
    r = station({"sync", "-r", "--skip=cache", "--streams", "3", "tree", p("host")});
    ASSERT_EQ(r.status, 66);
    EXPECT_EQ(r.err.find("put"), std::string::npos) << r.err;
    struct stat before;
    ASSERT_EQ(stat(p("host/sub/e.wav").c_str(), &before), 0);
    r = station({"sync", "-r", "--skip=cache", "--streams", "3", "tree", p("host")});
    for (const char *f : {"a.wav", "sub/b.wav", "sub/e.wav", "sub/skip.tmp"})
        EXPECT_NE(r.out.find("skipped " + h + "/" + f + ": unchanged"), std::string::npos) << r.out;
    struct stat after;
    ASSERT_EQ(stat(p("host/sub/e.wav").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_FALSE(exists("host/sub/e.wav-TARKO"));
}

// Of three connections only the first comes up: the others are said, and their puts go
// over the first.
TEST_F(StationLocal, SyncStreamsThatNeverAnswerGiveTheirFilesBack) {
    mkdir(p("tree").c_str(), 0755);
    for (char c = 'a'; c <= 'f'; c++)
        write(std::string("tree/") + c, std::string(1, c));
    // The station starts the first connection first: its agent has the lowest process id.
    std::string agent = script(
        "agent", "echo $$ >>'" + p("pids") + "'; sleep 0.2\n" + "[ $$ = $(sort -n '" + p("pids") +
                     "' | head -n 1) ] && exec " + testproc::bin("tarko_remote2") + "\nexit 3\n");
    auto r = raw({testproc::bin("tarko_station"), "--agent", agent, "sync", "-r", "--streams", "3",
                  "tree", p("host")});
    EXPECT_EQ(r.status, 0) << r.err;
    for (char c = 'a'; c <= 'f'; c++)
        EXPECT_EQ(read(std::string("host/") + c), std::string(1, c));
    EXPECT_NE(r.err.find("the agent command ended with status 3"), std::string::npos) << r.err;
}

TEST_F(StationLocal, GetKeepsLocalUntilTheWholeFileHasCome) {
    write("keep", "old local");
    mkdir(p("host").c_str(), 0755);
    auto r = station({"get", p("host"), "absent", "keep"});
    EXPECT_EQ(r.status, 11);
    EXPECT_EQ(read("keep"), "old local");
    EXPECT_TRUE(names_with("", ".tarko-").empty());
    // A directory as LOCAL receives NAME; the mode is that of a new file.
    write("host/f", "remote");
    mkdir(p("into").c_str(), 0755);
    r = station({"get", p("host"), "f", "into"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read("into/f"), "remote");
    struct stat st;
    ASSERT_EQ(stat(p("into/f").c_str(), &st), 0);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0666 & ~mask);
    // Nowhere to write.
    r = station({"get", p("host"), "f", "no/such/dir/f"});
    EXPECT_EQ(r.status, 73);
    EXPECT_NE(r.err.find("cannot create a temporary file beside no/such/dir/f"), std::string::npos)
        << r.err;
}

TEST_F(StationLocal, AgentDyingMidDownloadLeavesLocalAlone) {
    mkdir(p("host").c_str(), 0755);
    write("host/f", pattern(400000));
    write("f", "old local");
    // The agent's output is cut after at most 100 kB: the connection ends mid-data.
    ASSERT_EQ(mkfifo(p("fifo").c_str(), 0600), 0);
    std::string cut =
        script("cut.sh", "exec 3<&0\n" + testproc::bin("tarko_remote2") + " <&3 >" + p("fifo") +
                             " &\nexec dd bs=4096 count=25 <" + p("fifo") + " 2>/dev/null\n");
    auto r = raw({testproc::bin("tarko_station"), "--agent", cut, "get", p("host"), "f"});
    EXPECT_EQ(r.status, 74) << r.err;
    EXPECT_NE(r.err.find("local: get " + p("host") + "/f to f: the connection to the agent ended"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(read("f"), "old local");
    EXPECT_TRUE(names_with("", ".tarko-").empty());
}

TEST_F(StationLocal, AgentDyingMidUploadIsNamed) {
    write("big", pattern(1 << 20));
    // The agent may write 50 kB; past that the kernel ends it (SIGXFSZ).
    std::string limited =
        script("limited.sh", "ulimit -f 100\nexec " + testproc::bin("tarko_remote2") + "\n");
    auto r = raw({testproc::bin("tarko_station"), "--agent", limited, "put", "big", p("host")});
    EXPECT_EQ(r.status, 74) << r.err;
    EXPECT_NE(r.err.find("tarko_station: local: put " + p("host") + "/big: the "),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("(the agent died)"), std::string::npos) << r.err;
    EXPECT_FALSE(exists("host/big"));
}

TEST_F(StationLocal, HostsThatDoNotAnswer) {
    // Silent: the time limit of -t.
    auto r = raw(
        {testproc::bin("tarko_station"), "--agent", "/bin/sleep 30", "-t", "1", "sum", "/d", "n"},
        timeout(10000));
    EXPECT_EQ(r.status, 69);
    EXPECT_NE(r.err.find("tarko_station: local: the host did not answer within 1 seconds"),
              std::string::npos)
        << r.err;
    // Not there at all.
    r = raw({testproc::bin("tarko_station"), "--agent", p("nothing {host}"), "-H", "ivr9", "sum",
             "/d", "n"});
    EXPECT_EQ(r.status, 69);
    EXPECT_NE(r.err.find("tarko_station: ivr9: cannot start " + p("nothing") +
                         " (No such file or directory)"),
              std::string::npos)
        << r.err;
    // Ends at once, as rsh does for an unknown host.
    std::string gone = script("gone.sh", "echo \"$1: unknown host\" >&2\nexit 1\n");
    r = raw({testproc::bin("tarko_station"), "--agent", gone + " {host}", "-H", "ivr9", "rm", "/d",
             "n"});
    EXPECT_EQ(r.status, 69);
    EXPECT_NE(r.err.find("ivr9: unknown host"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("tarko_station: ivr9: the host did not answer: the agent command ended "
                         "with status 1"),
              std::string::npos)
        << r.err;
    // Answers, but is no agent.
    std::string chatty =
        script("chatty.sh", "head -c 1 >/dev/null\necho Welcome to ivr9\nsleep 2\n");
    r = raw({testproc::bin("tarko_station"), "--agent", chatty, "rm", "/d", "n"});
    EXPECT_EQ(r.status, 69);
    EXPECT_NE(r.err.find("answered, but not as an agent does"), std::string::npos) << r.err;
}

TEST_F(StationLocal, LocalFileProblems) {
    auto r = station({"put", "missing", p("host")});
    EXPECT_EQ(r.status, 66);
    EXPECT_NE(r.err.find("tarko_station: put " + p("host") +
                         "/missing: cannot send missing (No such file or directory)"),
              std::string::npos)
        << r.err;
    mkdir(p("adir").c_str(), 0755);
    r = station({"put", "adir", p("host")});
    EXPECT_EQ(r.status, 66);
    EXPECT_NE(r.err.find("(Is a directory)"), std::string::npos) << r.err;
    r = station({"deploy", "app", "missing.jar"});
    EXPECT_EQ(r.status, 66);
    EXPECT_NE(r.err.find("deploy app: cannot send missing.jar"), std::string::npos) << r.err;
    // A tree that is not there is this station's fault, said once before any host.
    r = station({"-H", "a,b,c", "sync", "-r", "notree", p("host")});
    EXPECT_EQ(r.status, 66);
    EXPECT_EQ(r.err, "tarko_station: sync " + p("host") +
                         ": cannot read the directory notree (No such file or directory)\n");
}

// The agent reads the first 200 kB at once, then nothing for a second: long enough for
// the test to change the file while the station is still sending it.
class StationChanging : public StationLocal {
  protected:
    std::string slow;
    void SetUp() override {
        StationLocal::SetUp();
        slow = script("slow.sh", "{ dd bs=4096 count=40 2>/dev/null; sleep 1; cat; } | exec " +
                                     testproc::bin("tarko_remote2") + "\n");
    }
    testproc::Result put_while(void (*change)(const std::string &path)) {
        write("f", pattern(2 << 20));
        mkdir(p("host").c_str(), 0755);
        write("host/f", "previous");
        testproc::Child c;
        std::vector<std::string> argv{
            testproc::bin("tarko_station"), "--agent", slow, "put", p("f"), p("host")};
        EXPECT_TRUE(testproc::spawn(c, argv));
        testproc::close_input(c);
        usleep(400000);
        change(p("f"));
        testproc::Result r;
        r.out = testproc::read_all(c.out, 20000);
        r.err = testproc::read_all(c.err, 20000);
        r.status = testproc::wait(c, 20000);
        testproc::reap(c);
        return r;
    }
};

TEST_F(StationChanging, ShrunkWhileSentIsDiscarded) {
    auto r = put_while([](const std::string &path) { ASSERT_EQ(truncate(path.c_str(), 1000), 0); });
    EXPECT_EQ(r.status, 65) << r.err;
    EXPECT_NE(r.err.find("tarko_station: local: put " + p("host") + "/f: " + p("f") +
                         " changed while it was sent; the host discarded it (6 checksum "
                         "mismatch)"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(read("host/f"), "previous");
    EXPECT_FALSE(exists("host/f-TARKO"));
}

TEST_F(StationChanging, RewrittenWhileSentIsDiscarded) {
    auto r = put_while([](const std::string &path) {
        int fd = open(path.c_str(), O_WRONLY);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(pwrite(fd, "XXXX", 4, 0), 4); // a part already sent
        close(fd);
    });
    EXPECT_EQ(r.status, 65) << r.err;
    EXPECT_EQ(read("host/f"), "previous");
}

TEST_F(StationLocal, ProgressBarOnlyOnATerminal) {
    write("f", pattern(1 << 20));
    std::string slow =
        script("slow.sh", "{ dd bs=4096 count=25 2>/dev/null; sleep 1.5; cat; } | exec " +
                              testproc::bin("tarko_remote2") + "\n");
    std::string cmd =
        testproc::bin("tarko_station") + " --agent " + slow + " put " + p("f") + " " + p("host");
    // script(1) gives the station a terminal for its standard error.
    auto r = raw({"/usr/bin/script", "-qfec", cmd, "/dev/null"}, timeout(20000));
    if (r.status == 127)
        GTEST_SKIP() << "script(1) is not available";
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("\rf ["), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("100%"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("put " + p("host") + "/f: 0 success"), std::string::npos) << r.out;
    // The same through pipes: no bar.
    r = raw({"/bin/sh", "-c", cmd});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err.find('\r'), std::string::npos) << r.err;
}

TEST_F(StationLocal, FanOutServesEveryHostAndSumsUp) {
    write("f", "fan-out data");
    // Hosts a and b reach the agent; c has none. Both "hosts" share this machine's files,
    // and two uploads of one target at once would share its temporary name: one at a time.
    mkdir(p("agents").c_str(), 0755);
    ASSERT_EQ(symlink(testproc::bin("tarko_remote2").c_str(), p("agents/a").c_str()), 0);
    ASSERT_EQ(symlink(testproc::bin("tarko_remote2").c_str(), p("agents/b").c_str()), 0);
    auto r = raw({testproc::bin("tarko_station"), "--agent", p("agents/{host}"), "-H", "a,b", "-j",
                  "1", "put", "f", p("host")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("a,b: put " + p("host") + "/f: 0 success (12 bytes)\n"), std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("HOST  STATUS  MEANING  SECONDS\na,b        0  success  "),
              std::string::npos)
        << r.out;

    r = raw({testproc::bin("tarko_station"), "--agent", p("agents/{host}"), "-H", "a,c,b", "sum",
             p("host"), "f"});
    EXPECT_EQ(r.status, 69);
    EXPECT_NE(r.out.find("a,b: " + std::to_string(station::checksum_of("fan-out data")) + " 12 " +
                         p("host") + "/f\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("tarko_station: c: cannot start " + p("agents/c")), std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("c         69  the host did not answer"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\na,b        0  success"), std::string::npos) << r.out;
    EXPECT_NE(r.err.find("tarko_station: 1 of 3 hosts failed"), std::string::npos) << r.err;

    // Each host's copy of a get lands beside the others.
    r = raw({testproc::bin("tarko_station"), "--agent", p("agents/{host}"), "-H", "a,b", "get",
             p("host"), "f", "got"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read("got.a"), "fan-out data");
    EXPECT_EQ(read("got.b"), "fan-out data");

    // A sync reads its local files once for the fleet, yet a file that changes while the
    // hosts are served is summed again: host a's "agent" rewrites it, and b gets the new.
    write("agents/x", "#!/bin/sh\nprintf 'rewritten' >" + p("f") + "\nexit 1\n");
    ASSERT_EQ(chmod(p("agents/x").c_str(), 0755), 0);
    r = raw({testproc::bin("tarko_station"), "--agent", p("agents/{host}"), "-H", "x,b", "-j", "1",
             "sync", "f", p("host")});
    EXPECT_EQ(r.status, 69) << r.err;
    EXPECT_EQ(read("host/f"), "rewritten");
}

TEST_F(StationLocal, AgentFromTheEnvironmentAndHostsRequired) {
    write("f", "x");
    testproc::Options opt;
    opt.cwd = dir.c_str();
    opt.env.push_back("TARKO_AGENT=" + testproc::bin("tarko_remote2"));
    auto r = testproc::run({testproc::bin("tarko_station"), "put", "f", p("host")}, opt);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read("host/f"), "x");
    // The default agent command names the host: without -H there is nothing to reach.
    r = raw({testproc::bin("tarko_station"), "put", "f", p("host")});
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find("no host given"), std::string::npos) << r.err;
    r = raw({testproc::bin("tarko_station"), "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("usage: tarko_station", 0), 0u) << r.out;
    r = raw({testproc::bin("tarko_station"), "--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("tarko_station ", 0), 0u) << r.out;
    r = raw({testproc::bin("tarko_station"), "frobnicate"});
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find("unknown command \"frobnicate\""), std::string::npos);
}

} // namespace

TEST_F(StationLocal, BandwidthLimitPacesAPut) {
    write("paced", std::string(1000000, 'b'));
    mkdir(p("host").c_str(), 0755);
    auto t0 = std::chrono::steady_clock::now();
    auto r = station({"--bwlimit", "4Mbit", "put", "paced", p("host")});
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read("host/paced").size(), 1000000u);
    EXPECT_GT(s, 1.8); // 500 kB a second
    EXPECT_LT(s, 3.5);
    r = station({"--bwlimit", "fast", "put", "paced", p("host")});
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find("--bwlimit wants a rate"), std::string::npos) << r.err;
}

namespace {

std::size_t count(const std::string &text, const std::string &what) {
    std::size_t n = 0;
    for (std::size_t p = text.find(what); p != std::string::npos; p = text.find(what, p + 1))
        n++;
    return n;
}

TEST_F(StationLocal, FleetSizedHostSetsAndJobs) {
    const std::string fleet = "ivr[00001-10000]", less = "ivr[00100-00199],ivr10000";
    auto r = raw({testproc::bin("tarko_station"), "-x", less, "hosts", fleet}, timeout(30000));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(count(r.out, "\n"), 9899u);
    EXPECT_EQ(r.out.rfind("ivr00001\nivr00002\n", 0), 0u);
    EXPECT_NE(r.out.find("\nivr00099\nivr00200\n"), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - 9), "ivr09999\n");

    // Every host of the fan-out fails alike: one folded line, one row, far beyond 64 at once.
    r = raw({testproc::bin("tarko_station"), "--agent", p("none/agent") + " {host}", "-H", fleet,
             "-x", less, "-j", "300", "sum", "/d", "n"},
            timeout(120000));
    EXPECT_EQ(r.status, 69) << r.err;
    EXPECT_NE(r.err.find("tarko_station: ivr[00001-00099,00200-09999]: cannot start"),
              std::string::npos)
        << r.err.substr(0, 2000);
    EXPECT_NE(r.out.find("\nivr[00001-00099,00200-09999]      69  the host did not answer"),
              std::string::npos)
        << r.out.substr(0, 2000);
    EXPECT_NE(r.err.find("9899 of 9899 hosts failed"), std::string::npos);

    // -j as far as the open files go: the soft limit is raised to the hard one at start,
    // and a -j beyond that is refused with the reason.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    if (saved.rlim_max > 1000 && saved.rlim_max != RLIM_INFINITY) {
        rlimit low = saved;
        low.rlim_cur = 64;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
        r = raw({testproc::bin("tarko_station"), "-j", "400", "hosts", "a"});
        EXPECT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
        EXPECT_EQ(r.status, 0) << r.err;
    }
    r = raw({testproc::bin("tarko_station"), "-j", "100000000", "hosts", "a"});
    EXPECT_EQ(r.status, 64);
    EXPECT_NE(r.err.find("-j 100000000 is more hosts at a time than the station can hold open: "
                         "its open files are limited to "),
              std::string::npos)
        << r.err;
}

TEST_F(StationLocal, SyncOfFiveThousandFilesNamedOnTheCommandLine) {
    mkdir(p("src").c_str(), 0755);
    std::vector<std::string> args{"sync"};
    for (int i = 0; i < 5000; i++) {
        std::string name = "src/prompt" + std::to_string(i) + ".wav";
        write(name, "prompt " + std::to_string(i));
        args.push_back(name);
    }
    args.push_back(p("host"));
    auto r = station(args, timeout(120000));
    ASSERT_EQ(r.status, 0) << r.err.substr(0, 2000);
    EXPECT_EQ(count(r.out, ": 0 success ("), 5000u);
    EXPECT_EQ(read("host/prompt4999.wav"), "prompt 4999");
    write("src/prompt17.wav", "changed");
    r = station(args, timeout(120000));
    ASSERT_EQ(r.status, 0) << r.err.substr(0, 2000);
    EXPECT_EQ(count(r.out, ": unchanged ("), 4999u);
    EXPECT_EQ(count(r.out, ": 0 success ("), 1u);
    EXPECT_EQ(read("host/prompt17.wav"), "changed");
}

} // namespace
