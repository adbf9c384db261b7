// makedir and rmdir_recursive on temporary trees.
#include "alarm.h"
#include "dirs.h"
#include "log.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

struct Tree {
    std::string root;
    Tree() {
        char tmpl[] = "/tmp/tarkodirs.XXXXXX";
        root = mkdtemp(tmpl);
    }
    ~Tree() {
        chdir("/");
        std::string cmd = "chmod -R u+rwx '" + root + "' 2>/dev/null; rm -rf '" + root + "'";
        if (std::system(cmd.c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << root;
    }
    std::string operator/(const std::string &p) const { return root + "/" + p; }
};

bool is_dir(const std::string &p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}
bool exists(const std::string &p) {
    struct stat st;
    return lstat(p.c_str(), &st) == 0;
}
void touch(const std::string &p) {
    close(open(p.c_str(), O_WRONLY | O_CREAT, 0644));
}

std::string cwd() {
    char b[PATH_MAX];
    return getcwd(b, sizeof b) ? b : "";
}

// Runs f with standard error captured; returns what it wrote.
template <class F>
std::string capture_stderr(F f) {
    fflush(stderr);
    int fds[2];
    EXPECT_EQ(pipe(fds), 0);
    int saved = dup(2);
    dup2(fds[1], 2);
    close(fds[1]);
    f();
    dup2(saved, 2);
    close(saved);
    std::string out;
    char b[4096];
    ssize_t k;
    while ((k = read(fds[0], b, sizeof b)) > 0)
        out.append(b, static_cast<size_t>(k));
    close(fds[0]);
    return out;
}

} // namespace

TEST(Makedir, CreatesEveryDirectoryButTheLast) {
    Tree t;
    umask(0);
    EXPECT_EQ(makedir((t / "a/b/c/file").c_str()), 0);
    EXPECT_TRUE(is_dir(t / "a/b/c"));
    EXPECT_FALSE(exists(t / "a/b/c/file"));
    struct stat st;
    ASSERT_EQ(stat((t / "a/b").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
    umask(022);
}

TEST(Makedir, RelativePathsAndDoubledSlashesStartAtTheRoot) {
    Tree t;
    // t.root is /tmp/tarkodirs.X: without its leading slash it still lands there.
    std::string rel = t.root.substr(1) + "/x/y/file";
    ASSERT_EQ(chdir(t.root.c_str()), 0);
    EXPECT_EQ(makedir(rel.c_str()), 0);
    EXPECT_TRUE(is_dir(t / "x/y"));
    EXPECT_FALSE(exists(t / "tmp"));
    std::string doubled = "/" + t.root + "///p//q/f";
    EXPECT_EQ(makedir(doubled.c_str()), 0);
    EXPECT_TRUE(is_dir(t / "p/q"));
    EXPECT_FALSE(exists(t / "p/q/f"));
}

TEST(Makedir, NothingToCreate) {
    Tree t;
    EXPECT_EQ(makedir("file"), 0);
    EXPECT_EQ(makedir("/file"), 0);
    EXPECT_EQ(makedir(""), 0);
    EXPECT_EQ(makedir("///"), 0);
    EXPECT_EQ(makedir((t / "f").c_str()), 0); // all there already
    EXPECT_EQ(makedir((t.root + "/").c_str()), 0);
}

TEST(Makedir, FileInTheMiddleGivesNotADirectory) {
    Tree t;
    touch(t / "plain");
    EXPECT_EQ(makedir((t / "plain/sub/f").c_str()), ENOTDIR);
    // A file as the last directory goes unnoticed.
    EXPECT_EQ(makedir((t / "plain/f").c_str()), 0);
}

TEST(Makedir, RefusedCreationReturnsItsError) {
    Tree t;
    ASSERT_EQ(mkdir((t / "ro").c_str(), 0555), 0);
    pid_t pid = fork();
    if (pid == 0) {
        // As an unprivileged user, so that the mode is enforced.
        if (getuid() == 0) {
            chown(t.root.c_str(), 65534, 65534);
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(99);
        }
        _exit(makedir((t / "ro/new/f").c_str()) == EACCES ? 0 : 1);
    }
    int st;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_FALSE(exists(t / "ro/new"));
}

TEST(Makedir, OverLongPathIsRefusedNotCut) {
    std::string p = "/tmp/" + std::string(300, 'x') + "/f";
    EXPECT_EQ(makedir(p.c_str()), ENAMETOOLONG);
    EXPECT_FALSE(exists("/tmp/" + std::string(250, 'x')));
}

TEST(Rmdir, AbsentPathIsRemovedQuietly) {
    Tree t;
    std::string here = cwd();
    std::string err = capture_stderr([&] {
        errno = 0;
        EXPECT_EQ(rmdir_recursive((t / "absent").c_str()), 0);
        EXPECT_EQ(errno, ENOENT);
    });
    EXPECT_EQ(err, "");
    EXPECT_EQ(cwd(), here);
}

TEST(Rmdir, TreeGoesAndCwdIsItsParent) {
    Tree t;
    ASSERT_EQ(makedir((t / "top/a/b/c/x").c_str()), 0);
    touch(t / "top/f");
    touch(t / "top/a/b/c/g");
    ASSERT_EQ(symlink("/", (t / "top/a/root").c_str()), 0);
    ASSERT_EQ(mkfifo((t / "top/a/fifo").c_str(), 0600), 0);
    EXPECT_EQ(rmdir_recursive((t / "top").c_str()), 0);
    EXPECT_FALSE(exists(t / "top"));
    EXPECT_EQ(cwd(), t.root);
    EXPECT_TRUE(exists("/bin"));
}

TEST(Rmdir, SymbolicLinkToADirectoryRemovesTheLinkOnly) {
    Tree t;
    ASSERT_EQ(mkdir((t / "d").c_str(), 0777), 0);
    touch(t / "d/keep");
    ASSERT_EQ(symlink((t / "d").c_str(), (t / "link").c_str()), 0);
    std::string here = cwd();
    EXPECT_EQ(rmdir_recursive((t / "link").c_str()), 0);
    EXPECT_FALSE(exists(t / "link"));
    EXPECT_TRUE(exists(t / "d/keep"));
    EXPECT_EQ(cwd(), here);
}

TEST(Rmdir, EntryThatCannotBeRemovedStopsWithOneLine) {
    Tree t;
    ASSERT_EQ(makedir((t / "top/locked/x").c_str()), 0);
    touch(t / "top/locked/file");
    // Run as an unprivileged user who owns everything but "locked" (mode 0755, root's).
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        dup2(fds[1], 2);
        if (getuid() == 0) {
            chown(t.root.c_str(), 65534, 65534);
            chown((t / "top").c_str(), 65534, 65534);
            if (setgid(65534) != 0 || setuid(65534) != 0)
                _exit(99);
        } else {
            chmod((t / "top/locked").c_str(), 0555);
        }
        int r = rmdir_recursive((t / "top").c_str());
        std::string where = cwd();
        _exit(r == 2 && where == t / "top/locked" ? 0 : 1);
    }
    close(fds[1]);
    std::string err;
    char b[4096];
    ssize_t k;
    while ((k = read(fds[0], b, sizeof b)) > 0)
        err.append(b, static_cast<size_t>(k));
    close(fds[0]);
    int st;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_TRUE(std::regex_match(
        err, std::regex("\\d\\d:\\d\\d:\\d\\d Could not unlink file \\(Permission denied\\)\n")))
        << err;
    EXPECT_TRUE(exists(t / "top/locked/file"));
}

TEST(Log, LineOnStandardError) {
    std::string err =
        capture_stderr([] { log_entry("Received request to delete %s audium app", "app1"); });
    EXPECT_TRUE(std::regex_match(
        err, std::regex("\\d\\d:\\d\\d:\\d\\d Received request to delete app1 audium app\n")))
        << err;
}

TEST(Log, LineAlsoInTheOpenFileAndLongMessagesAreCut) {
    Tree t;
    int saved = logfd;
    logfd = open((t / "log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(logfd, 0);
    std::string big(5000, 'm');
    std::string err = capture_stderr([&] {
        log_entry("one %d", 1);
        log_entry("%s", big.c_str());
        log_init();
        log_entry_from_signal("Remote timed out");
    });
    close_log_file();
    EXPECT_EQ(logfd, -1);
    logfd = saved;
    int fd = open((t / "log").c_str(), O_RDONLY);
    std::string file;
    char b[8192];
    ssize_t k;
    while ((k = read(fd, b, sizeof b)) > 0)
        file.append(b, static_cast<size_t>(k));
    close(fd);
    EXPECT_EQ(file, err);
    std::regex shape("\\d\\d:\\d\\d:\\d\\d one 1\n\\d\\d:\\d\\d:\\d\\d m{1013}\n"
                     "(\\d\\d:\\d\\d:\\d\\d) Remote timed out\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(file, m, shape)) << file.substr(0, 100);
    // The signal-safe line carries the same local time as the ordinary one.
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::string hms = m[1].str();
    long logged = std::stol(hms.substr(0, 2)) * 3600 + std::stol(hms.substr(3, 2)) * 60 +
                  std::stol(hms.substr(6, 2));
    long local = tm.tm_hour * 3600L + tm.tm_min * 60 + tm.tm_sec;
    EXPECT_LE((local - logged + 86400) % 86400, 2);
}

using LogDeathTest = ::testing::Test;

TEST(LogDeathTest, RequestLimitEndsTheProcessEvenInsideALogWrite) {
    // The limit fires while the process is busy writing log lines: the handler must
    // still write its own line and end with status 1, with no lock to deadlock on.
    Tree t;
    std::string path = t / "busy.log";
    EXPECT_EXIT(
        {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            logfd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            log_init();
            struct itimerval it {};
            it.it_value.tv_usec = 300000;
            arm_alarm(0, SignalAlarmTimeout);
            setitimer(ITIMER_REAL, &it, nullptr);
            for (long i = 0;; i++)
                log_entry("busy line %ld with some text to make it longer", i);
        },
        ::testing::ExitedWithCode(1), "");
    int fd = open(path.c_str(), O_RDONLY);
    off_t size = lseek(fd, 0, SEEK_END);
    char b[64] = {};
    ASSERT_GT(size, 30);
    pread(fd, b, 26, size - 26);
    close(fd);
    EXPECT_STREQ(b + 9, "Remote timed out\n");
}

TEST(LogDeathTest, RequestLimitEndsTheProcessEvenWhenItsOwnLineBlocks) {
    // The log file takes no more bytes (a full FIFO nobody reads), so the handler's own
    // line blocks: the fallback alarm must still take the process down within seconds.
    Tree t;
    std::string fifo = t / "stuck.log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EXIT(
        {
            // A hang would stall the whole test: a watchdog ends it with another signal.
            pid_t self = getpid();
            if (fork() == 0) {
                for (int i = 0; i < 150 && getppid() == self; i++)
                    usleep(100000);
                if (getppid() == self)
                    kill(self, SIGKILL);
                _exit(0);
            }
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            int rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
            int wr = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (rd < 0 || wr < 0)
                _exit(3);
            char block[4096] = {};
            while (write(wr, block, sizeof block) > 0) {
            }
            fcntl(wr, F_SETFL, 0);
            logfd = wr;
            arm_alarm(1, SignalAlarmTimeout);
            for (;;)
                pause();
        },
        ::testing::KilledBySignal(SIGALRM), "");
}
