// An upload into a full file system: the agent runs in a private mount namespace with a
// small tmpfs over its target directory.
#include "agentrun.h"

#include <fcntl.h>

using namespace station;

namespace {

// The wrapper that gives the agent its own small file system at dir.
std::vector<std::string> small_tmpfs(const std::string &dir) {
    return {"/usr/bin/unshare",
            "-m",
            "--propagation",
            "private",
            "/bin/sh",
            "-c",
            "mount -t tmpfs -o size=256k tmpfs '" + dir + "' && exec \"$0\""};
}

} // namespace

TEST(FullDisk, UploadGivesShortWriteAndKeepsTheOldTarget) {
    if (getuid() != 0)
        GTEST_SKIP() << "mounting a tmpfs needs root";
    if (testproc::run({"/usr/bin/unshare", "-m", "/bin/true"}).status != 0)
        GTEST_SKIP() << "no private mount namespace here";
    TempDir t;
    RunningAgent a(small_tmpfs(t.path));
    ASSERT_EQ(hello(a.agent), Status::Ok);
    EXPECT_EQ(put(a.agent, t.path, "f", "old"), Status::Ok);
    std::string big(1 << 20, 'x');
    EXPECT_EQ(put(a.agent, t.path, "f", big), Status::ShortWrite);
    std::string copy = t / "copy";
    int fd = open(copy.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(get_fd(a.agent, t.path, "f", fd), Status::Ok);
    char buf[8] = {};
    EXPECT_EQ(pread(fd, buf, sizeof buf, 0), 3);
    close(fd);
    EXPECT_STREQ(buf, "old");
    FileInfo info;
    EXPECT_EQ(sum(a.agent, t.path, "f-TARKO", &info), Status::CannotOpen); // no temporary left
    // The space was given back: a small upload works again.
    EXPECT_EQ(put(a.agent, t.path, "f", "new"), Status::Ok);
    a.close_input();
    EXPECT_EQ(a.wait(), 0);
}
