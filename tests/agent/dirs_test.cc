// makedir and rmdir_recursive on temporary trees.
#include "dirs.h"
#include "files.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using testfiles::capture_stderr;

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
