// The lock of an upload's temporary file: one writer per target.
#include "agentrun.h"
#include "files.h"
#include "lock.h"

#include <atomic>
#include <functional>
#include <sys/stat.h>
#include <thread>

TEST(Lock, WaiterTakesAFileOfItsOwnAfterTheHolderRenamedIt) {
    TempDir t;
    const std::string temp = t / "f-TARKO", target = t / "f";
    testfiles::write_file(temp, "left by a killed agent");
    int first = open_locked(temp.c_str());
    ASSERT_GE(first, 0);
    struct stat held;
    ASSERT_EQ(fstat(first, &held), 0);
    EXPECT_EQ(held.st_size, 0); // a leftover is reused, emptied

    std::atomic<int> second{-2};
    std::thread waiter([&] { second = open_locked(temp.c_str()); });
    usleep(100000);
    EXPECT_EQ(second, -2); // still waiting for the holder
    ASSERT_EQ(write(first, "one", 3), 3);
    ASSERT_EQ(rename(temp.c_str(), target.c_str()), 0);
    close(first);
    waiter.join();

    ASSERT_GE(second, 0);
    struct stat got;
    ASSERT_EQ(fstat(second, &got), 0);
    EXPECT_NE(got.st_ino, held.st_ino);
    EXPECT_EQ(testfiles::read_file(target), "one"); // the holder's file was not touched
    EXPECT_TRUE(testfiles::read_file(temp).empty());
    close(second);
}

// Whatever another account left at the temporary's name is replaced by a file of the
// agent's own, never opened: a link (dangling or to a file), a named pipe that nobody
// reads (opening it would wait for ever), a second name of somebody's file.
TEST(Lock, PlantedEntriesAreReplacedNeverWrittenThrough) {
    TempDir t;
    const std::string temp = t / "f-TARKO", victim = t / "victim", missing = t / "missing";
    testfiles::write_file(victim, "precious");
    auto planted = std::vector<std::function<int()>>{
        [&] { return symlink(victim.c_str(), temp.c_str()); },
        [&] { return symlink(missing.c_str(), temp.c_str()); },
        [&] { return mkfifo(temp.c_str(), 0666); },
        [&] { return link(victim.c_str(), temp.c_str()); },
    };
    for (std::size_t i = 0; i < planted.size(); i++) {
        ASSERT_EQ(planted[i](), 0) << i;
        int fd = open_locked(temp.c_str());
        ASSERT_GE(fd, 0) << i;
        ASSERT_EQ(write(fd, "upload", 6), 6);
        struct stat st;
        ASSERT_EQ(lstat(temp.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode)) << i;
        EXPECT_EQ(st.st_nlink, 1u) << i;
        close(fd);
        EXPECT_EQ(testfiles::read_file(temp), "upload") << i;
        EXPECT_EQ(testfiles::read_file(victim), "precious") << i;
        EXPECT_NE(access(missing.c_str(), F_OK), 0) << i;
        ASSERT_EQ(unlink(temp.c_str()), 0);
    }
}
