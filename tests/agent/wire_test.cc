// Wire primitives and streams over pipes.
#include "loop.h"
#include "stream.h"
#include "wire.h"

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

// A pipe whose read end is a Stream; bytes are fed through the write end.
struct Feed {
    int fds[2] = {-1, -1};
    Stream s;
    explicit Feed(const std::string &bytes = {}, bool close_after = true) {
        EXPECT_EQ(pipe(fds), 0);
        stream_open(s, fds[0]);
        feed(bytes);
        if (close_after)
            end();
    }
    ~Feed() {
        end();
        close(fds[0]);
    }
    void feed(const std::string &b) {
        if (!b.empty()) {
            EXPECT_EQ(write(fds[1], b.data(), b.size()), static_cast<ssize_t>(b.size()));
        }
    }
    void end() {
        if (fds[1] >= 0)
            close(fds[1]);
        fds[1] = -1;
    }
};

// A pipe whose write end is a Stream; drain() returns what was written.
struct Sink {
    int fds[2] = {-1, -1};
    Stream s;
    Sink() {
        EXPECT_EQ(pipe(fds), 0);
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        stream_open(s, fds[1]);
    }
    ~Sink() {
        close(fds[0]);
        close(fds[1]);
    }
    std::string drain() {
        std::string out;
        char b[4096];
        ssize_t k;
        while ((k = read(fds[0], b, sizeof b)) > 0)
            out.append(b, static_cast<size_t>(k));
        return out;
    }
};

std::string bytes(std::initializer_list<int> v) {
    std::string s;
    for (int b : v)
        s.push_back(static_cast<char>(b));
    return s;
}

} // namespace

TEST(Readers, BigEndianValues) {
    Feed f(bytes({0x41, 0x80, 0x01, 0xff, 0xfe, 0x12, 0x34, 0x56, 0x78, 0x80, 0, 0, 0}));
    EXPECT_EQ(read_char(f.s), 0x41);
    EXPECT_EQ(read_short(f.s), static_cast<std::int16_t>(0x8001));
    EXPECT_EQ(read_short(f.s), -2);
    EXPECT_EQ(read_long(f.s), 0x12345678);
    EXPECT_EQ(read_long(f.s), INT32_MIN);
}

TEST(Readers, CountedStrings) {
    std::string in =
        bytes({0, 0, 0, 0}) + bytes({0, 0, 0, 3}) + "abc" + bytes({0, 0, 0, 5}) + "12345";
    Feed f(in);
    char buf[6];
    std::memset(buf, 'z', sizeof buf);
    read_char_string(buf, sizeof buf, f.s);
    EXPECT_STREQ(buf, "");
    read_char_string(buf, sizeof buf, f.s);
    EXPECT_EQ(std::string(buf, sizeof buf), std::string("abc\0\0\0", 6)); // zero-filled
    read_char_string(buf, sizeof buf, f.s); // capacity - 1 is the longest
    EXPECT_STREQ(buf, "12345");
}

using ReadersDeathTest = ::testing::Test;

TEST(ReadersDeathTest, EndOfInputEndsTheProcessWithZero) {
    EXPECT_EXIT(
        {
            Feed f(bytes({0, 0, 1}));
            read_long(f.s);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            Feed f(bytes({0, 0, 0, 4}) + "ab");
            char buf[8];
            read_char_string(buf, sizeof buf, f.s);
        },
        ::testing::ExitedWithCode(0), "");
}

TEST(ReadersDeathTest, OverLongStringIsLoggedAndEndsTheProcess) {
    EXPECT_EXIT(
        {
            Feed f(bytes({0, 0, 0, 6}) + "abcdef");
            char buf[6];
            read_char_string(buf, sizeof buf, f.s);
        },
        ::testing::ExitedWithCode(0),
        "^[0-9][0-9]:[0-9][0-9]:[0-9][0-9] String size exceeded size=6 sizeofstring=6 [0-9]+\n$");
    EXPECT_EXIT(
        {
            Feed f(bytes({0xff, 0xff, 0xff, 0xfe}));
            char buf[6];
            read_char_string(buf, sizeof buf, f.s);
        },
        ::testing::ExitedWithCode(0), "String size exceeded size=-2 sizeofstring=6 ");
}

TEST(Writers, ValuesAndStrings) {
    Sink k;
    send_char('A', k.s);
    send_long(1, k.s);
    send_short(2, k.s);
    send_char_string_with_length("/tmp", k.s);
    send_long(-1, k.s);
    send_short(-2, k.s);
    EXPECT_EQ(k.drain(), ""); // nothing is flushed by the writers
    EXPECT_TRUE(stream_flush(k.s));
    EXPECT_EQ(k.drain(), bytes({0x41, 0, 0, 0, 1, 0, 2, 0, 0, 0, 4}) + "/tmp" +
                             bytes({0xff, 0xff, 0xff, 0xff, 0xff, 0xfe}));
}

TEST(Writers, ResponseAndHelloOnStandardOutput) {
    Sink k;
    int saved = std_out.fd;
    std_out.fd = k.fds[1];
    send_response(1, Status::Ok);
    send_response(0x01020304, Status::BadOperation);
    print_hello();
    std_out.fd = saved;
    EXPECT_EQ(k.drain(), bytes({0x52, 0, 0, 0, 1, 0, 0, 0x52, 1, 2, 3, 4, 0, 15}) + "HELLO_v22\n");
}

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

TEST(TimedRead, AlarmCutsTheReadShort) {
    Feed f(bytes({'R', 0, 0}), false);
    char b[7];
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(timedfread(b, 7, 1, f.s, 1), 0u);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    EXPECT_GE(ms, 900);
    EXPECT_LT(ms, 3000);
    // The request limit is armed again afterwards; take it back for the test process.
    alarm(0);
    signal(SIGALRM, SIG_DFL);
}

TEST(TimedRead, WholeItemsWithinTheLimit) {
    Feed f(bytes({1, 2, 3, 4, 5, 6, 7}));
    char b[8];
    EXPECT_EQ(timedfread(b, 2, 4, f.s, 5), 3u);
    alarm(0);
    signal(SIGALRM, SIG_DFL);
}

TEST(ReadResponse, SkipsBytesBeforeTheResponse) {
    Feed f("\nxyz" + bytes({'R', 0, 0, 0, 9, 0, 0}));
    EXPECT_EQ(read_response(9, f.s), Status::Ok);
    alarm(0);
}

TEST(ReadResponse, OtherSequenceNumberLeavesTheStatusUnread) {
    Feed f(bytes({'R', 0, 0, 0, 2, 0, 7, 'R', 0, 0, 0, 1, 0, 3}));
    EXPECT_EQ(read_response(1, f.s), Status::SeqMismatch);
    EXPECT_EQ(read_char(f.s), 0);
    EXPECT_EQ(read_char(f.s), 7);
    EXPECT_EQ(read_response(1, f.s), Status::IsDirectory);
    alarm(0);
}

TEST(ReadResponse, EndOfStreamIsNoResponse) {
    Feed f(bytes({'R', 0, 0, 0, 1, 0}));
    EXPECT_EQ(read_response(1, f.s), Status::NoResponse);
    alarm(0);
}

TEST(SlowReadResponse, SilentPeerIsNoResponseAfterTenSeconds) {
    Feed f(bytes({'\n', 'R', 0}), false);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(read_response(1, f.s), Status::NoResponse);
    auto s =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_GE(s, 9);
    EXPECT_LE(s, 12);
    alarm(0);
    signal(SIGALRM, SIG_DFL);
}
