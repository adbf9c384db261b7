// Wire primitives over pipes.
#include "pipes.h"
#include "wire.h"

#include <cstring>
#include <gtest/gtest.h>
#include <string>

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
    EXPECT_EQ(k.drain(), ""); // answers go out together, when the agent would wait
    stream_flush(std_out);
    std_out.fd = saved;
    EXPECT_EQ(k.drain(), bytes({0x52, 0, 0, 0, 1, 0, 0, 0x52, 1, 2, 3, 4, 0, 15}) + "HELLO_v22\n");
}
