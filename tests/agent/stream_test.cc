// The agent's buffered streams over pipes.
#include "stream.h"

#include <csignal>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

TEST(Streams, LargeReadsAndWritesKeepEveryByte) {
    // Mixed small and large requests across the buffer's edge.
    std::string data(300000, '\0');
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<char>(i * 7 + i / 251);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        Stream w;
        stream_open(w, fds[1]);
        size_t off = 0, sizes[] = {1, 100000, 3, 70000, 65536, 7};
        for (size_t i = 0; off < data.size(); i++) {
            size_t n = std::min(sizes[i % 6], data.size() - off);
            if (stream_write(w, data.data() + off, n) != n)
                _exit(1);
            off += n;
        }
        stream_close(w);
        _exit(0);
    }
    close(fds[1]);
    Stream r;
    stream_open(r, fds[0]);
    std::string got(data.size() + 10, '\0');
    size_t off = 0, sizes[] = {5, 65536, 131072, 2, 40000};
    for (size_t i = 0; off < data.size(); i++) {
        size_t n = stream_read(r, got.data() + off, sizes[i % 5]);
        ASSERT_GT(n, 0u);
        off += n;
    }
    EXPECT_EQ(off, data.size());
    EXPECT_EQ(stream_read(r, got.data(), 1), 0u);
    EXPECT_TRUE(r.eof);
    got.resize(off);
    EXPECT_EQ(got, data);
    int st;
    waitpid(pid, &st, 0);
    EXPECT_EQ(st, 0);
    close(fds[0]);
}

TEST(Streams, WriteToAVanishedReaderFails) {
    signal(SIGPIPE, SIG_IGN);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    close(fds[0]);
    Stream w;
    stream_open(w, fds[1]);
    char b[100] = {};
    EXPECT_EQ(stream_write(w, b, sizeof b), sizeof b); // buffered
    EXPECT_FALSE(stream_flush(w));
    EXPECT_TRUE(w.error);
    EXPECT_EQ(stream_write(w, b, sizeof b), 0u);
    std::string big(100000, 'x');
    Stream w2;
    int fds2[2];
    ASSERT_EQ(pipe(fds2), 0);
    close(fds2[0]);
    stream_open(w2, fds2[1]);
    EXPECT_LT(stream_write(w2, big.data(), big.size()), big.size());
    close(fds[1]);
    close(fds2[1]);
}
