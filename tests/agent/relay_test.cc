// Black-box tests of the relay (operations 3 and 4) on a simulated site: the station
// talks to the agent on host a, which relays to the agents of hosts b and c through rsh;
// and the relay's timed reads over plain pipes.
#include "pipes.h"
#include "relay.h"
#include "relay_site.h"
#include "wire.h"

#include <chrono>
#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

using namespace relaytest;

namespace {

constexpr const char *PROXY = "proxy /fake_remote/agent";

TEST(Relay, PushPutsAnIndependentCopyOnTheOtherHost) {
    Station s;
    SITE_UP_OR_SKIP(s.site, {"a", "b"});
    ASSERT_TRUE(s.start());
    const std::string data(5000, 'x');
    ASSERT_TRUE(s.site.write_file("a", "/srv/d/f.txt", data));
    ASSERT_FALSE(s.site.exists("b", "/srv/d/f.txt"));

    EXPECT_EQ(station::push(s.agent, "b", "/srv/d", "f.txt", 5000, station::checksum_of(data)),
              Status::Ok);
    EXPECT_EQ(s.site.read_file("b", "/srv/d/f.txt"), data);
    EXPECT_FALSE(s.site.exists("b", "/srv/d/f.txt-TARKO"));

    // Two files: changing the copy leaves the original alone.
    ASSERT_TRUE(s.site.write_file("b", "/srv/d/f.txt", "changed"));
    EXPECT_EQ(s.site.read_file("a", "/srv/d/f.txt"), data);
    EXPECT_EQ(s.stop(), 0);
}

// A push ended midway leaves no temporary file on the far host: the far agent told to
// end removes its own, and one whose near agent was ended finds its upload cut short.
TEST(Relay, PushEndedMidwayLeavesNoTemporaryOnTheFarHost) {
    for (bool far_told : {true, false}) {
        Station s;
        SITE_UP_OR_SKIP(s.site, {"a", "b"});
        ASSERT_TRUE(s.start());
        ASSERT_TRUE(s.site.write_file("a", "/srv/big", ""));
        const std::int32_t len = 256 << 20; // sparse: long to send, nothing to store
        ASSERT_EQ(truncate(s.site.path("a", "/srv/big").c_str(), len), 0);
        station::FileInfo sum;
        ASSERT_TRUE(station::file_sum(s.site.path("a", "/srv/big").c_str(), &sum));
        std::string f = station::request_header(++s.agent.seq, Op::Push);
        for (const char *str : {"b", "/srv", "big"})
            station::put_string(f, str);
        station::put_long(f, len);
        station::put_long(f, static_cast<std::int32_t>(sum.checksum));
        ASSERT_EQ(station::send_raw(s.agent, f), station::ClientError::None);
        ASSERT_TRUE(wait_until([&] { return s.site.exists("b", "/srv/big-TARKO"); }, 10000));
        // Held still in the middle of the data, so that the push cannot finish first.
        pid_t far = s.site.find_process("b", AGENT);
        ASSERT_GT(far, 0);
        kill(far, SIGSTOP);
        kill(far_told ? far : s.agent_pid, far_told ? SIGTERM : SIGHUP);
        kill(far, SIGCONT);
        if (far_told) {
            station::Reply r = station::read_reply(s.agent, s.agent.seq, 20000);
            EXPECT_TRUE(r == Status::ShortWrite || r == Status::NoResponse)
                << ::testing::PrintToString(r);
        }
        EXPECT_TRUE(wait_until([&] { return !s.site.exists("b", "/srv/big-TARKO"); }, 10000));
        EXPECT_FALSE(s.site.exists("b", "/srv/big"));
    }
}

TEST(Relay, RemoteDeleteAnswersWhatTheFarAgentAnswers) {
    Station s;
    SITE_UP_OR_SKIP(s.site, {"a", "b"});
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(s.site.write_file("b", "/srv/gone", "x"));
    ASSERT_TRUE(s.site.write_file("a", "/srv/gone", "stays"));
    ASSERT_TRUE(s.site.write_file("b", "/srv/dir/inner", "x"));

    EXPECT_EQ(station::rmremote(s.agent, "b", "/srv", "gone"), Status::Ok);
    EXPECT_FALSE(s.site.exists("b", "/srv/gone"));
    EXPECT_EQ(s.site.read_file("a", "/srv/gone"), "stays");
    EXPECT_EQ(station::rmremote(s.agent, "b", "/srv", "gone"), Status::Ok); // nothing there: 0
    EXPECT_EQ(station::rmremote(s.agent, "b", "/srv", "dir"), Status::IsDirectory);
    EXPECT_TRUE(s.site.exists("b", "/srv/dir/inner"));
    EXPECT_EQ(s.stop(), 0);
    EXPECT_NE(s.errors().find("The file /srv/dir is a directory"), std::string::npos);
}

TEST(Relay, FirstRelayedDeleteSendsHelloThenTheRequest) {
    Station s;
    SITE_UP_OR_SKIP(s.site, {"a", "b"});
    ASSERT_TRUE(s.fake("b", "hello HELLO_v22 reply 0"));
    ASSERT_TRUE(s.start());
    EXPECT_EQ(station::rmremote(s.agent, "b", "/tmp", "x"), Status::Ok);
    EXPECT_EQ(s.stop(), 0);
    ASSERT_TRUE(s.ended("b"));
    EXPECT_EQ(hex(s.received("b")),
              "48 41 00 00 00 01 00 02 00 00 00 04 2F 74 6D 70 00 00 00 01 78");
}

TEST(Relay, ConsecutiveRelaysToOneHostShareOneConnection) {
    Station s;
    SITE_UP_OR_SKIP(s.site, {"a", "b"});
    ASSERT_TRUE(s.fake("b", PROXY));
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(s.site.write_file("a", "/srv/one", "1"));
    ASSERT_TRUE(s.site.write_file("a", "/srv/two", "22"));

    EXPECT_EQ(station::push(s.agent, "b", "/srv", "one", 1, station::checksum_of("1")), Status::Ok);
    EXPECT_EQ(s.children().size(), 1u); // the rsh child stays between requests
    EXPECT_EQ(station::push(s.agent, "b", "/srv", "two", 2, station::checksum_of("22")),
              Status::Ok);
    EXPECT_EQ(station::rmremote(s.agent, "b", "/srv", "one"), Status::Ok);
    EXPECT_EQ(s.site.read_file("b", "/srv/two"), "22");
    EXPECT_FALSE(s.site.exists("b", "/srv/one"));
    EXPECT_EQ(s.starts("b"), 1);
    EXPECT_EQ(s.children().size(), 1u);

    // One hello, then requests 1, 2, 3, each flushed with its data phase.
    std::string want =
        hello_byte() + request(1, Op::Put, "/srv", "one") +
        data_phase("1", station::checksum_of("1")) + request(2, Op::Put, "/srv", "two") +
        data_phase("22", station::checksum_of("22")) + request(3, Op::Delete, "/srv", "one");
    EXPECT_EQ(hex(s.received("b")), hex(want));

    // The agent ending closes the connection: the far agent sees end of input.
    EXPECT_EQ(s.stop(), 0);
    EXPECT_TRUE(s.ended("b"));
}

TEST(Relay, AnotherHostReplacesTheConnection) {
    Station s;
    SITE_UP_OR_SKIP(s.site, {"a", "b", "c"});
    ASSERT_TRUE(s.fake("b", PROXY));
    ASSERT_TRUE(s.fake("c", PROXY));
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(s.site.write_file("a", "/srv/f", "abc"));
    ASSERT_TRUE(s.site.write_file("c", "/srv/g", "g"));
    const auto sum = station::checksum_of("abc");

    EXPECT_EQ(station::push(s.agent, "b", "/srv", "f", 3, sum), Status::Ok);
    EXPECT_EQ(station::rmremote(s.agent, "c", "/srv", "g"), Status::Ok);
    // b's connection was closed and its child awaited before c's started.
    EXPECT_NE(s.events("b").find("eof\nend\n"), std::string::npos) << s.events("b");
    EXPECT_EQ(s.children().size(), 1u);
    EXPECT_FALSE(s.site.exists("c", "/srv/g"));

    ASSERT_TRUE(s.site.write_file("b", "/srv/f", "old"));
    EXPECT_EQ(station::push(s.agent, "b", "/srv", "f", 3, sum), Status::Ok);
    EXPECT_EQ(s.site.read_file("b", "/srv/f"), "abc");
    EXPECT_EQ(s.starts("b"), 2);
    EXPECT_EQ(s.starts("c"), 1);
    EXPECT_EQ(s.children().size(), 1u);

    // The new connection starts again with a hello and sequence number 1.
    std::string push1 = hello_byte() + request(1, Op::Put, "/srv", "f") + data_phase("abc", sum);
    EXPECT_EQ(hex(s.received("b")), hex(push1 + push1));
    EXPECT_EQ(hex(s.received("c")), hex(hello_byte() + request(1, Op::Delete, "/srv", "g")));
    EXPECT_EQ(s.stop(), 0);
}

TEST(Relay, HelloV20IsAccepted) {
    Station s;
    SITE_UP_OR_SKIP(s.site, {"a", "b"});
    ASSERT_TRUE(s.fake("b", std::string("hello HELLO_v20 ") + PROXY));
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(s.site.write_file("a", "/srv/f", "v20"));
    EXPECT_EQ(station::push(s.agent, "b", "/srv", "f", 3, station::checksum_of("v20")), Status::Ok);
    EXPECT_EQ(s.site.read_file("b", "/srv/f"), "v20");
    EXPECT_EQ(station::rmremote(s.agent, "b", "/srv", "f"), Status::Ok);
    EXPECT_FALSE(s.site.exists("b", "/srv/f"));
    EXPECT_EQ(s.starts("b"), 1);
    EXPECT_EQ(s.stop(), 0);
}

TEST(Relay, StationChecksumIsForwardedUnchanged) {
    Station s;
    SITE_UP_OR_SKIP(s.site, {"a", "b"});
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(s.site.write_file("a", "/srv/f", "new"));
    ASSERT_TRUE(s.site.write_file("b", "/srv/f", "old"));
    EXPECT_EQ(station::push(s.agent, "b", "/srv", "f", 3, station::checksum_of("new") ^ 1),
              Status::BadChecksum);
    EXPECT_EQ(s.site.read_file("b", "/srv/f"), "old");
    EXPECT_FALSE(s.site.exists("b", "/srv/f-TARKO"));
    EXPECT_EQ(s.stop(), 0);
}

TEST(Relay, ShortLocalFileIsPaddedWithZeroBytes) {
    Station s;
    SITE_UP_OR_SKIP(s.site, {"a", "b"});
    ASSERT_TRUE(s.start());
    const std::string data(1500, 'q');
    const std::string padded = data + std::string(2000, '\0');
    ASSERT_TRUE(s.site.write_file("a", "/srv/f", data));
    // The far agent gets exactly the announced length; the push still reports 9.
    EXPECT_EQ(station::push(s.agent, "b", "/srv", "f", 3500, station::checksum_of(padded)),
              Status::ShortRead);
    EXPECT_EQ(s.site.read_file("b", "/srv/f"), padded);
    // The connection stays in step.
    EXPECT_EQ(station::rmremote(s.agent, "b", "/srv", "f"), Status::Ok);
    EXPECT_EQ(s.stop(), 0);
}

TEST(Relay, LongLocalFileSendsOnlyTheAnnouncedLength) {
    Station s;
    SITE_UP_OR_SKIP(s.site, {"a", "b"});
    ASSERT_TRUE(s.start());
    std::string data;
    for (int i = 0; i < 300000; i++)
        data += static_cast<char>('a' + i % 26);
    ASSERT_TRUE(s.site.write_file("a", "/srv/big", data));
    const std::string head = data.substr(0, 200001);
    EXPECT_EQ(station::push(s.agent, "b", "/srv", "big", 200001, station::checksum_of(head)),
              Status::Ok);
    EXPECT_EQ(s.site.read_file("b", "/srv/big"), head);
    EXPECT_EQ(station::rmremote(s.agent, "b", "/srv", "big"), Status::Ok);
    EXPECT_EQ(s.stop(), 0);
}

TEST(Relay, EmptyAndNegativeLengthsSendNoData) {
    Station s;
    SITE_UP_OR_SKIP(s.site, {"a", "b"});
    ASSERT_TRUE(s.fake("b", PROXY));
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(s.site.write_file("a", "/srv/f", "ignored"));
    EXPECT_EQ(station::push(s.agent, "b", "/srv", "f", 0, 0xFFFFFFFFu), Status::Ok);
    EXPECT_EQ(s.site.read_file("b", "/srv/f"), "");
    EXPECT_TRUE(s.site.exists("b", "/srv/f"));
    EXPECT_EQ(station::push(s.agent, "b", "/srv", "f", -5, 0xFFFFFFFFu), Status::Ok);
    std::string want = hello_byte() + request(1, Op::Put, "/srv", "f") +
                       data_phase("", 0xFFFFFFFFu) + request(2, Op::Put, "/srv", "f");
    station::put_long(want, -5);
    station::put_long(want, -1);
    EXPECT_EQ(hex(s.received("b")), hex(want));
    EXPECT_EQ(s.stop(), 0);
}

TEST(Relay, LocalChecksComeBeforeAnyConnection) {
    Station s;
    SITE_UP_OR_SKIP(s.site, {"a", "b"});
    ASSERT_TRUE(s.fake("b", PROXY));
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(s.site.write_file("a", "/srv/dir/x", "x"));
    EXPECT_EQ(station::push(s.agent, "b", "/srv", "dir", 1, 0), Status::IsDirectory);
    EXPECT_EQ(station::push(s.agent, "b", "/srv", "missing", 1, 0), Status::CannotOpen);
    EXPECT_TRUE(s.children().empty());
    EXPECT_EQ(s.starts("b"), 0);

    // No sequence number was used: the first relayed request still carries 1.
    ASSERT_TRUE(s.site.write_file("a", "/srv/f", "f"));
    EXPECT_EQ(station::push(s.agent, "b", "/srv", "f", 1, station::checksum_of("f")), Status::Ok);
    EXPECT_EQ(hex(s.received("b")), hex(hello_byte() + request(1, Op::Put, "/srv", "f") +
                                        data_phase("f", station::checksum_of("f"))));
    EXPECT_EQ(s.stop(), 0);
    std::string err = s.errors();
    EXPECT_NE(err.find(" The file /srv/dir is a directory\n"), std::string::npos) << err;
    EXPECT_NE(err.find(" Could not read file /srv/missing (No such file or directory)\n"),
              std::string::npos)
        << err;
}

TEST(Relay, FarAgentFailuresComeBackAsTheirStatus) {
    Station s;
    SITE_UP_OR_SKIP(s.site, {"a", "b"});
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(s.site.write_file("a", "/srv/f", "data"));
    ASSERT_TRUE(s.site.write_file("b", "/srv/plain", "not a directory"));
    ASSERT_TRUE(s.site.write_file("b", "/srv/f/inner", "a directory"));
    const auto sum = station::checksum_of("data");
    EXPECT_EQ(station::push(s.agent, "b", "/srv", "f", 4, sum), Status::IsDirectory);
    // Far side: the directory /srv/plain is a file.
    ASSERT_TRUE(s.site.write_file("a", "/srv/plain/f", "data"));
    EXPECT_EQ(station::push(s.agent, "b", "/srv/plain", "f", 4, sum), Status::NotDirectory);
    EXPECT_EQ(s.stop(), 0);
}

} // namespace

// The timed reads with which the relay reads its far agent's replies.
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
