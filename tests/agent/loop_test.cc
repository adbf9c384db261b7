// The request loop of the real agent: hello, framing, sequence numbers, unknown
// operations, stray bytes, over-long strings, end of input and the time limits.
#include "agentrun.h"

#include <fstream>
#include <regex>

using namespace station;

TEST(Hello, IsTenBytesAnyNumberOfTimes) {
    RunningAgent a;
    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(a.send("H"));
        EXPECT_EQ(a.out(10), "HELLO_v22\n");
    }
    // Hellos use no sequence number.
    EXPECT_EQ(rm(a.agent, "/nonexistent-dir", "x"), Status::Ok);
    EXPECT_EQ(a.agent.seq, 1);
    a.close_input();
    EXPECT_EQ(a.wait(), 0);
    EXPECT_EQ(a.err(), "");
}

TEST(Sequence, FirstRequestNumberedTwoIsRefused) {
    RunningAgent a;
    ASSERT_TRUE(a.send(request_header(2, Op::Delete)));
    EXPECT_EQ(a.out(7), std::string("\x52\x00\x00\x00\x01\x00\x05", 7));
    EXPECT_EQ(a.wait(), 0);
    EXPECT_EQ(a.out(1, 200), ""); // nothing more, the output is closed
}

TEST(Sequence, RequestsInTurnThenARepeat) {
    RunningAgent a;
    for (int i = 1; i <= 3; i++)
        EXPECT_EQ(rm(a.agent, "/nonexistent-dir", "x"), Status::Ok);
    std::string f = request_header(2, Op::Delete);
    put_string(f, "/nonexistent-dir");
    put_string(f, "x");
    ASSERT_TRUE(a.send(f));
    EXPECT_EQ(a.out(7),
              response(4, Status::SeqMismatch)); // the expected number, not the one received
    EXPECT_EQ(a.wait(), 0);
}

TEST(Sequence, UnknownOperationsKeepTheirNumber) {
    RunningAgent a;
    std::int16_t ops[] = {9, 0, -1, 0x7fff};
    std::int32_t seq = 0;
    for (auto op : ops) {
        ASSERT_TRUE(a.send(request_header(++seq, op)));
        EXPECT_EQ(a.out(7), response(seq, Status::BadOperation)) << op;
    }
    a.agent.seq = seq;
    EXPECT_EQ(rm(a.agent, "/nonexistent-dir", "x"), Status::Ok);
    EXPECT_EQ(a.agent.seq, 5);
}

TEST(Framing, StrayBytesBetweenFramesAreIgnored) {
    RunningAgent a;
    ASSERT_TRUE(a.send("\n\nxyz\0\xff"));
    EXPECT_EQ(rm(a.agent, "/nonexistent-dir", "x"), Status::Ok);
    ASSERT_TRUE(a.send(std::string("\r\n\x52\x00", 4)));
    ASSERT_TRUE(a.send("H"));
    EXPECT_EQ(a.out(10), "HELLO_v22\n");
    EXPECT_EQ(rm(a.agent, "/nonexistent-dir", "x"), Status::Ok);
}

TEST(Framing, PayloadOfUnknownOperationIsReadAsFrames) {
    RunningAgent a;
    // Operation 9 with a payload holding an 'H': the loop answers 15, then reads the
    // payload as frames and answers the hello inside it.
    std::string f = request_header(1, 9);
    put_string(f, "xHy");
    ASSERT_TRUE(a.send(f));
    EXPECT_EQ(a.out(7), response(1, Status::BadOperation));
    EXPECT_EQ(a.out(10), "HELLO_v22\n");
}

TEST(EndOfInput, BetweenRequestsEndsQuietly) {
    RunningAgent a;
    EXPECT_EQ(rm(a.agent, "/nonexistent-dir", "x"), Status::Ok);
    a.close_input();
    EXPECT_EQ(a.wait(), 0);
    EXPECT_EQ(a.err(), "");
}

TEST(EndOfInput, InsideAFrameEndsWithoutResponse) {
    // Cut after each byte of a complete request: the agent ends with 0 and no reply.
    std::string f = request_header(1, Op::Delete);
    put_string(f, "/tmp");
    put_string(f, "nothing-here");
    for (size_t cut = 1; cut < f.size(); cut += 3) {
        RunningAgent a;
        ASSERT_TRUE(a.send(f.substr(0, cut)));
        a.close_input();
        EXPECT_EQ(a.wait(), 0) << cut;
        EXPECT_EQ(a.out(1, 200), "") << cut;
    }
}

namespace {

// Sends a request for operation 2 whose directory string announces len bytes.
void send_dir_length(RunningAgent &a, std::int32_t len, size_t actual) {
    std::string f = request_header(1, Op::Delete);
    put_long(f, len);
    f.append(actual, 'd');
    ASSERT_TRUE(a.send(f));
}

} // namespace

TEST(CountedString, LongestDirectoryIsAccepted) {
    RunningAgent a;
    std::string dir = "/nonexistent" + std::string(95 - 12, 'd');
    ASSERT_EQ(dir.size(), 95u);
    EXPECT_EQ(rm(a.agent, dir, std::string(31, 'n')), Status::Ok);
    std::string f = request_header(2, Op::Delete);
    put_string(f, "");
    put_string(f, "");
    ASSERT_TRUE(a.send(f));
    EXPECT_EQ(a.out(7), response(2, Status::IsDirectory)); // "" + "/" + "" is the root directory
}

TEST(CountedString, OverLongOrNegativeEndsTheAgent) {
    for (std::int32_t len : {96, 1000000, -1, INT32_MIN}) {
        RunningAgent a;
        pid_t pid = a.child.pid;
        send_dir_length(a, len, 4);
        EXPECT_EQ(a.wait(), 0) << len;
        EXPECT_EQ(a.out(1, 200), "") << len;
        std::string err = a.err();
        EXPECT_TRUE(std::regex_match(err, std::regex("\\d\\d:\\d\\d:\\d\\d String size exceeded "
                                                     "size=-?\\d+ sizeofstring=96 \\d+\n")))
            << err;
        EXPECT_NE(err.find("size=" + std::to_string(len) + " sizeofstring=96 " +
                           std::to_string(pid) + "\n"),
                  std::string::npos);
    }
}

TEST(CountedString, NameLimitIs31) {
    RunningAgent a;
    std::string f = request_header(1, Op::Delete);
    put_string(f, "/tmp");
    put_string(f, std::string(32, 'n'));
    ASSERT_TRUE(a.send(f));
    EXPECT_EQ(a.wait(), 0);
    EXPECT_NE(a.err().find("String size exceeded size=32 sizeofstring=32 "), std::string::npos);
}

TEST(Slow, OnlyHellosAreCutOffAfter30Seconds) {
    RunningAgent a;
    auto start = std::chrono::steady_clock::now();
    int status = -1;
    for (;;) {
        if (!a.send("H"))
            break;
        if (a.out(10, 2000) != "HELLO_v22\n")
            break;
        usleep(500000);
    }
    status = a.wait(5000);
    auto secs =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start)
            .count();
    EXPECT_EQ(status, 1);
    EXPECT_GE(secs, 29);
    EXPECT_LE(secs, 33);
    EXPECT_TRUE(std::regex_match(a.err(), std::regex("\\d\\d:\\d\\d:\\d\\d Remote timed out\n")));
}

TEST(Slow, StalledUploadIsCutOff120SecondsAfterItsHeader) {
    TempDir t;
    {
        std::FILE *f = std::fopen((t / "target").c_str(), "w");
        std::fputs("old", f);
        std::fclose(f);
    }
    RunningAgent a;
    std::string f = request_header(1, Op::Put);
    put_string(f, t.path);
    put_string(f, "target");
    ASSERT_TRUE(a.send(f));
    EXPECT_EQ(a.out(7), response(1, Status::Ready));
    std::string data;
    put_long(data, 100000);
    data.append(5000, 'x');
    ASSERT_TRUE(a.send(data));
    // Hellos during the upload are data, and extend nothing.
    EXPECT_EQ(a.wait(125000), 1);
    EXPECT_TRUE(std::regex_match(a.err(), std::regex("\\d\\d:\\d\\d:\\d\\d Remote timed out\n"
                                                     "\\d\\d:\\d\\d:\\d\\d Removed unfinished " +
                                                     t.path + "/target-TARKO\n")));
    EXPECT_FALSE(std::ifstream(t / "target-TARKO").good());
    std::FILE *g = std::fopen((t / "target").c_str(), "r");
    char buf[8] = {};
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(std::fread(buf, 1, sizeof buf, g), 3u);
    std::fclose(g);
    EXPECT_STREQ(buf, "old");
}
