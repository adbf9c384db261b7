// The daily error log: file names, line formats, routing of "M" lines, change of day,
// directory creation and the fatal open failure.
#include "errlog.h"
#include "fakeclock.h"
#include "files.h"
#include "testnet.h"
#include "zavlib.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using testfiles::read_file;

bool exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

mode_t mode_of(const std::string &path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

void set_setting(char *setting, std::size_t size, const std::string &value) {
    std::snprintf(setting, size, "%s", value.c_str());
}

// Each test works in a directory of its own and on a day of its own: the log keeps
// its file open for as long as the day of the month stays the same.
class Errlog : public ::testing::Test {
  protected:
    std::string dir;
    mode_t saved_umask = 0;

    void SetUp() override {
        fakeclock::use_utc();
        char tmpl[] = "/tmp/zavlib-errlog-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        set_setting(errlog_dir, sizeof errlog_dir, dir);
        errlog_ident[0] = '\0';
        errlog_tag[0] = '\0';
        saved_umask = umask(022);
    }
    void TearDown() override {
        umask(saved_umask);
        fakeclock::use_real();
        std::string cmd = "rm -rf '" + dir + "'";
        ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
};

TEST_F(Errlog, LineWithoutTagShowsMAndTheCodeRest) {
    fakeclock::set_local(2024, 7, 4, 13, 5, 59);
    errno = EINTR;
    errlog_errno("LCL", "Send:  Interruptted");
    std::string expect = "07/04 13:05:59 : MCL Send:  Interruptted errno=(4) pid(" +
                         std::to_string(getpid()) + ")\n";
    EXPECT_EQ(read_file(dir + "/errlog0704"), expect);
}

TEST_F(Errlog, LineWithTagAndIdentity) {
    fakeclock::set_local(2024, 7, 5, 8, 0, 1);
    set_setting(errlog_ident, sizeof errlog_ident, "ivr");
    set_setting(errlog_tag, sizeof errlog_tag, "x");
    errlog_write("LAJ", "port %d down", 7000);
    EXPECT_EQ(read_file(dir + "/errlog0705"), "07/05 08:00:01 ivr:[x] MAJ port 7000 down\n");
}

TEST_F(Errlog, FileNameIsMonthThenDay) {
    fakeclock::set_local(2023, 12, 6, 1, 2, 3);
    errlog_write("LCL", "one");
    fakeclock::set_local(2023, 12, 6, 22, 0, 0);
    errlog_write("LCL", "two");
    EXPECT_EQ(read_file(dir + "/errlog1206"),
              "12/06 01:02:03 : MCL one\n12/06 22:00:00 : MCL two\n");
}

TEST_F(Errlog, ExistingFileIsAppendedTo) {
    fakeclock::set_local(2024, 1, 7, 9, 9, 9);
    {
        std::ofstream old(dir + "/errlog0107");
        old << "earlier line\n";
    }
    errlog_write("LCL", "later");
    EXPECT_EQ(read_file(dir + "/errlog0107"), "earlier line\n01/07 09:09:09 : MCL later\n");
}

TEST_F(Errlog, MissingDirectoriesAndFileAreCreatedUnderTheUmask) {
    fakeclock::set_local(2024, 2, 8, 0, 0, 0);
    std::string nested = dir + "/a/b/c";
    set_setting(errlog_dir, sizeof errlog_dir, nested);
    umask(027);
    errlog_write("LCL", "deep");
    EXPECT_EQ(mode_of(dir + "/a"), 0750u);
    EXPECT_EQ(mode_of(dir + "/a/b/c"), 0750u);
    EXPECT_EQ(mode_of(nested + "/errlog0208"), 0640u);
    EXPECT_EQ(read_file(nested + "/errlog0208"), "02/08 00:00:00 : MCL deep\n");
}

TEST_F(Errlog, NewDayOpensNewFile) {
    fakeclock::set_local(2024, 3, 9, 23, 59, 59);
    errlog_write("LCL", "before midnight");
    fakeclock::set_local(2024, 3, 10, 0, 0, 0);
    errlog_write("LCL", "after midnight");
    EXPECT_EQ(read_file(dir + "/errlog0309"), "03/09 23:59:59 : MCL before midnight\n");
    EXPECT_EQ(read_file(dir + "/errlog0310"), "03/10 00:00:00 : MCL after midnight\n");
}

TEST_F(Errlog, OverlongMessageIsCutToOneLine) {
    fakeclock::set_local(2024, 4, 11, 12, 0, 0);
    std::string big(3000, 'z');
    errlog_write("LCL", "%s", big.c_str());
    std::string got = read_file(dir + "/errlog0411");
    EXPECT_EQ(got.size(), errlog_line_max);
    EXPECT_EQ(got.back(), '\n');
    EXPECT_EQ(got.find('\n'), got.size() - 1);
}

TEST_F(Errlog, OverlongSettingsStayInTheirBuffers) {
    fakeclock::set_local(2024, 4, 12, 12, 0, 0);
    // Filled to the last byte, no terminator: reads stop at the capacity.
    std::memset(errlog_ident, 'i', sizeof errlog_ident);
    std::memset(errlog_tag, 't', sizeof errlog_tag);
    errlog_write("LCL", "m");
    std::string got = read_file(dir + "/errlog0412");
    std::string expect =
        "04/12 12:00:00 " + std::string(95, 'i') + ":[" + std::string(79, 't') + "] MCL m\n";
    EXPECT_EQ(got, expect);
    errlog_ident[0] = '\0';
    errlog_tag[0] = '\0';
}

TEST_F(Errlog, OverlongDirectoryCutsThePathTo87Characters) {
    fakeclock::set_local(2024, 4, 13, 12, 0, 0);
    std::string longdir = dir + "/" + std::string(120, 'd');
    set_setting(errlog_dir, sizeof errlog_dir, longdir);
    errlog_write("LCL", "cut");
    std::string cut = longdir.substr(0, errlog_path_max);
    EXPECT_EQ(read_file(cut), "04/13 12:00:00 : MCL cut\n");
}

TEST_F(Errlog, EmptyCodeShowsOnlyM) {
    fakeclock::set_local(2024, 4, 14, 12, 0, 0);
    errlog_write("", "bare");
    EXPECT_EQ(read_file(dir + "/errlog0414"), "04/14 12:00:00 : M bare\n");
}

using ErrlogDeathTest = Errlog;

TEST_F(ErrlogDeathTest, UnusableDirectoryEndsTheProcessWithStatus2) {
    fakeclock::set_local(2024, 5, 15, 12, 0, 0);
    std::ofstream(dir + "/plainfile") << "not a directory\n";
    set_setting(errlog_dir, sizeof errlog_dir, dir + "/plainfile/logs");
    set_setting(errlog_ident, sizeof errlog_ident, "quip");
    std::string expect =
        "quip: openerrlog: \\(" + dir + "/plainfile/logs/errlog0515\\) errno=\\(20\\)";
    EXPECT_EXIT(errlog_write("LCL", "never written"), ::testing::ExitedWithCode(2), expect);
}

TEST_F(Errlog, ReadOnlyDirectoryEndsTheProcessWithStatus2) {
    fakeclock::set_local(2024, 5, 16, 12, 0, 0);
    std::string logs = dir + "/ro";
    ASSERT_EQ(mkdir(logs.c_str(), 0777), 0);
    set_setting(errlog_dir, sizeof errlog_dir, logs);
    int status = testnet::isolated(testnet::ns_mounts, [&] {
        if (mount(nullptr, logs.c_str(), "tmpfs", MS_RDONLY, nullptr) < 0)
            return testnet::ns_unavailable;
        // stderr is the test's: the message shows in its output.
        errlog_write("LCL", "never written");
        return 0;
    });
    if (status == testnet::ns_unavailable)
        GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(status, 2);
    EXPECT_FALSE(exists(logs + "/errlog0516"));
}

// "M" lines go to the central host too. On a machine whose name is the central host's,
// delivery is local, into the very same daily file: the line stands there twice. The
// child's host name is its own, so nothing reaches the spool of the real machine.
TEST_F(Errlog, MajorLineOnTheCentralHostIsWrittenTwice) {
    fakeclock::set_local(2024, 6, 17, 10, 11, 12);
    int status = testnet::isolated(testnet::ns_host | testnet::ns_net, [&] {
        if (sethostname(central_log_host, std::strlen(central_log_host)) < 0)
            return testnet::ns_unavailable;
        if (is_local_host(central_log_host) != 0)
            return testnet::ns_unavailable;
        errlog_write("MAJ", "central %s", "news");
        errlog_write("LCL", "local only");
        return 0;
    });
    if (status == testnet::ns_unavailable)
        GTEST_SKIP() << "no host-name namespace here";
    ASSERT_EQ(status, 0);
    std::string major = "06/17 10:11:12 : MAJ central news\n";
    EXPECT_EQ(read_file(dir + "/errlog0617"), major + major + "06/17 10:11:12 : MCL local only\n");
}

class PathDirs : public Errlog {};

TEST_F(PathDirs, CreatesEveryDirectoryButTheLast) {
    std::string path = dir + "/a/b/c/file";
    EXPECT_EQ(make_path_dirs(path.c_str()), 0);
    EXPECT_TRUE(exists(dir + "/a/b/c"));
    EXPECT_FALSE(exists(path));
}

TEST_F(PathDirs, DoubledAndTrailingSlashesAreSkipped) {
    std::string path = dir + "//x///y/";
    EXPECT_EQ(make_path_dirs(path.c_str()), 0);
    EXPECT_TRUE(exists(dir + "/x"));
    EXPECT_FALSE(exists(dir + "/x/y"));
}

TEST_F(PathDirs, ExistingDirectoriesArePassedOver) {
    std::string path = dir + "/p/q/file";
    EXPECT_EQ(make_path_dirs(path.c_str()), 0);
    EXPECT_EQ(make_path_dirs(path.c_str()), 0);
    EXPECT_TRUE(exists(dir + "/p/q"));
}

TEST_F(PathDirs, FileInTheWayFails) {
    std::ofstream(dir + "/f") << "x";
    std::string path = dir + "/f/sub/leaf";
    EXPECT_EQ(make_path_dirs(path.c_str()), -1);
}

TEST_F(PathDirs, TooLongPathFails) {
    std::string path = dir + "/" + std::string(5000, 'l') + "/leaf";
    EXPECT_EQ(make_path_dirs(path.c_str()), -1);
}

TEST_F(PathDirs, SingleComponentCreatesNothing) {
    EXPECT_EQ(make_path_dirs("file"), 0);
}

// A relative path is made absolute: a/b/file creates /a and /a/b. Run under a chroot
// into the test directory so that "/" is the test's own.
TEST_F(PathDirs, RelativePathIsTakenFromTheRoot) {
    int status = testnet::isolated(0, [&] {
        if (chroot(dir.c_str()) < 0 || chdir("/") < 0)
            return testnet::ns_unavailable;
        return make_path_dirs("a/b/file") == 0 ? 0 : 1;
    });
    if (status == testnet::ns_unavailable)
        GTEST_SKIP() << "chroot not permitted here";
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(exists(dir + "/a/b"));
    EXPECT_FALSE(exists(dir + "/a/b/file"));
}

} // namespace
