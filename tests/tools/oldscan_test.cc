// oldscan: ages of files whose modification times the tests set, in every input mode.
#include "age.h"
#include "tools_support.h"

#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <gtest/gtest.h>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace {

using testproc::Result;

const std::string USAGE_BODY = "Usages:   oldscan [unit options] <files...>\n"
                               "          oldscan -f <file of pathnames to check>\n"
                               "          oldscan -i < <file of pathnames to check>\n"
                               "Examples: oldscan /etc/motd\n"
                               "          oldscan /etc/motd /etc/passwd\n"
                               "          find . -print | oldscan -i\n"
                               "Unit options: (if nothing specified, values are in seconds)\n"
                               "          -m : minutes.\n"
                               "          -h : hours.\n"
                               "          -d : days.\n"
                               "          -w : weeks.\n";

class Oldscan : public ::testing::Test {
  protected:
    std::string dir;

    void SetUp() override {
        char tmpl[] = "/tmp/oldscan-test-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    // Creates name in the test directory, modified at time t.
    void make(const std::string &name, std::time_t t) {
        std::string p = dir + "/" + name;
        FILE *f = std::fopen(p.c_str(), "w");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
        timespec ts[2] = {{t, 0}, {t, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, p.c_str(), ts, 0), 0);
    }

    Result scan(std::vector<std::string> args, const std::string &input = "") {
        args.insert(args.begin(), testproc::bin("oldscan"));
        testproc::Options opt;
        opt.cwd = dir.c_str();
        opt.input = input;
        opt.timeout_ms = 10000;
        return testproc::run(args, opt);
    }
};

// The ages a run may see for a file modified at mtime when it ran between t0 and t1.
std::set<std::string> ages(std::time_t mtime, std::time_t t0, std::time_t t1, unsigned unit = 1,
                           const std::string &prefix = "") {
    std::set<std::string> s;
    for (std::time_t t = t0; t <= t1; t++)
        s.insert(prefix +
                 std::to_string(
                     (static_cast<std::uint32_t>(t) - static_cast<std::uint32_t>(mtime)) / unit) +
                 "\n");
    return s;
}

} // namespace

TEST_F(Oldscan, SingleOperandAgeInUnits) {
    std::time_t t0 = std::time(nullptr);
    make("f", t0 - 90);
    Result r = scan({"f"});
    std::time_t t1 = std::time(nullptr);
    EXPECT_TRUE(ages(t0 - 90, t0, t1).count(r.out)) << r.out;
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(scan({"-m", "f"}).out, "1\n");

    make("g", t0 - 15 * 86400 - 100);
    EXPECT_EQ(scan({"-h", "g"}).out, "360\n");
    EXPECT_EQ(scan({"-d", "g"}).out, "15\n");
    EXPECT_EQ(scan({"-w", "g"}).out, "2\n");
    EXPECT_EQ(scan({"-w", "-d", "g"}).out, "15\n"); // the last unit wins
}

TEST_F(Oldscan, SingleOperandMissing) {
    Result r = scan({"nosuch"});
    EXPECT_EQ(r.out, "0\n");
    EXPECT_EQ(r.err, "nosuch: No such file or directory\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(Oldscan, SeveralOperands) {
    std::time_t t0 = std::time(nullptr);
    make("a", t0 - 5);
    Result r = scan({"a", "b"});
    std::time_t t1 = std::time(nullptr);
    EXPECT_TRUE(ages(t0 - 5, t0, t1, 1, "a ").count(r.out)) << r.out;
    EXPECT_EQ(r.err, "b: No such file or directory\n");
    EXPECT_EQ(r.status, 1);

    r = scan({"-D", ",", "a", "b"});
    t1 = std::time(nullptr);
    EXPECT_TRUE(ages(t0 - 5, t0, t1, 1, "a,").count(r.out)) << r.out;
    EXPECT_EQ(r.status, 1);

    make("c", t0 - 7200);
    r = scan({"-h", "-D", "", "a", "c"});
    EXPECT_EQ(r.out, "a0\nc2\n");
    EXPECT_EQ(r.status, 0);
    r = scan({"-h", "-D", " is hours old: ", "c", "a"});
    EXPECT_EQ(r.out, "c is hours old: 2\na is hours old: 0\n");
}

TEST_F(Oldscan, FutureTimeWrapsAround) {
    std::time_t t0 = std::time(nullptr);
    make("f", t0 + 1);
    Result r = scan({"f"});
    Result m = scan({"-m", "f"});
    std::time_t t1 = std::time(nullptr);
    EXPECT_TRUE(ages(t0 + 1, t0, t1).count(r.out)) << r.out;
    EXPECT_TRUE(ages(t0 + 1, t0, t1, 60).count(m.out)) << m.out;
    // The first second is the usual case: 2^32 - 1 seconds, 71582788 minutes.
    if (t1 == t0) {
        EXPECT_EQ(r.out, "4294967295\n");
        EXPECT_EQ(m.out, "71582788\n");
    }
}

TEST_F(Oldscan, LinksAreFollowed) {
    std::time_t t0 = std::time(nullptr);
    make("target", t0 - 7200);
    ASSERT_EQ(symlink("target", (dir + "/link").c_str()), 0);
    ASSERT_EQ(symlink("gone", (dir + "/dangling").c_str()), 0);
    EXPECT_EQ(scan({"-h", "link"}).out, "2\n");
    Result r = scan({"-h", "dangling"});
    EXPECT_EQ(r.out, "0\n");
    EXPECT_EQ(r.err, "dangling: No such file or directory\n");
}

TEST_F(Oldscan, ListFromStandardInput) {
    std::time_t t0 = std::time(nullptr);
    make("a", t0 - 7200);
    make("c", t0 - 3 * 3600);
    make("x y", t0 - 7200);
    Result r = scan({"-h", "-i", "a", "nosuch"}, "a\tb\n\n  c\nx y\n");
    EXPECT_EQ(r.out, "a 2\nc 3\n");
    EXPECT_EQ(r.err, "b: No such file or directory\n"
                     "x: No such file or directory\n"
                     "y: No such file or directory\n");
    EXPECT_EQ(r.status, 1);

    r = scan({"-i", "-D", ":", "-d"}, "a c");
    EXPECT_EQ(r.out, "a:0\nc:0\n");
    EXPECT_EQ(r.status, 0);

    r = scan({"-i"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

TEST_F(Oldscan, ListFromFile) {
    std::time_t t0 = std::time(nullptr);
    make("a", t0 - 7200);
    make("list", t0);
    FILE *f = std::fopen((dir + "/list").c_str(), "w");
    std::fputs("a\n  a\n", f);
    std::fclose(f);
    Result r = scan({"-h", "-f", "list", "nosuch"});
    EXPECT_EQ(r.out, "a 2\na 2\n");
    EXPECT_EQ(r.status, 0);
    // The last of -f and -i wins.
    EXPECT_EQ(scan({"-h", "-f", "list", "-i"}, "a").out, "a 2\n");
    EXPECT_EQ(scan({"-h", "-i", "-f", "list"}, "nosuch").out, "a 2\na 2\n");
}

TEST_F(Oldscan, ListFileMissing) {
    Result r = scan({"-f", "nolist", "-z", "a"});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "nolist: No such file or directory\n");
    EXPECT_EQ(r.status, 3);
}

TEST_F(Oldscan, ListWordTooLong) {
    std::time_t t0 = std::time(nullptr);
    make("a", t0 - 7200);
    std::string word(5000, 'w');
    Result r = scan({"-h", "-i"}, "a " + word + " a\n");
    EXPECT_EQ(r.out, "a 2\na 2\n");
    EXPECT_EQ(r.err, std::string(4095, 'w') + "...: File name too long\n");
    EXPECT_EQ(r.status, 1);
}

TEST_F(Oldscan, UsageAndBadOptions) {
    Result r = scan({});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 2);
    size_t nl = r.err.find('\n');
    ASSERT_NE(nl, std::string::npos);
    std::string version = r.err.substr(0, nl);
    EXPECT_NE(version.find("1.0"), std::string::npos) << version;
    EXPECT_NE(version.find("6-22-95"), std::string::npos) << version;
    EXPECT_EQ(r.err.substr(nl + 1), USAGE_BODY);

    r = scan({"-m"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.substr(nl + 1), USAGE_BODY);

    r = scan({"-z", "a"});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("invalid option -- 'z'\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(USAGE_BODY), std::string::npos);

    r = scan({"-D"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("option requires an argument -- 'D'\n"), std::string::npos) << r.err;
    r = scan({"a", "-f"});
    EXPECT_EQ(r.status, 2);
}

TEST_F(Oldscan, EmptyOrAbsentName) {
    for (auto args : {std::vector<std::string>{}, std::vector<std::string>{""}}) {
        Result r = toolstest::run_raw(testproc::bin("oldscan"), args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.out.find(USAGE_BODY), std::string::npos) << r.out;
    }
}

TEST_F(Oldscan, FormatAgeLeavesOutputAloneOnFailure) {
    std::time_t t0 = std::time(nullptr);
    make("a", t0 - 3 * 604800 - 5);
    char out[AGE_SIZE] = "untouched";
    EXPECT_EQ(format_age((dir + "/nosuch").c_str(), out, SECONDS), -1);
    EXPECT_STREQ(out, "untouched");
    EXPECT_EQ(format_age((dir + "/a").c_str(), out, WEEKS), 0);
    EXPECT_STREQ(out, "3");
}

TEST(OldscanUnits, ReadName) {
    std::string text = "  one\ttwo\n\vthree " + std::string(NAME_SIZE, 'x') + " four";
    FILE *f = fmemopen(text.data(), text.size(), "r");
    ASSERT_NE(f, nullptr);
    static char name[NAME_SIZE];
    EXPECT_EQ(read_name(f, name), 1);
    EXPECT_STREQ(name, "one");
    EXPECT_EQ(read_name(f, name), 1);
    EXPECT_STREQ(name, "two");
    EXPECT_EQ(read_name(f, name), 1);
    EXPECT_STREQ(name, "three");
    EXPECT_EQ(read_name(f, name), -1);
    EXPECT_EQ(std::string(name), std::string(NAME_SIZE - 1, 'x'));
    EXPECT_EQ(read_name(f, name), 1);
    EXPECT_STREQ(name, "four");
    EXPECT_EQ(read_name(f, name), 0);
    std::fclose(f);
}
