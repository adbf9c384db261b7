// The lock of an upload's temporary file: one writer per target.
#include "agentrun.h"
#include "files.h"
#include "lock.h"

#include <atomic>
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
