// The station client against stand-in peers: frame bytes, time limits, lost
// connections, and a peer that has gone away.
#include "client.h"
#include "proc.h"
#include "replies.h"

#include <chrono>
#include <gtest/gtest.h>

using namespace station;

namespace {

// A peer that runs a shell command with the client's pipes as its input and output.
bool start_sh(Agent &a, const std::string &cmd) {
    return agent_start(a, {"/bin/sh", "-c", cmd});
}

} // namespace

TEST(Frames, RequestBytesAsOnTheWire) {
    std::string f = request_header(1, Op::Delete);
    put_string(f, "/tmp");
    put_string(f, "a.txt");
    EXPECT_EQ(f, std::string("\x41\x00\x00\x00\x01\x00\x02"
                             "\x00\x00\x00\x04/tmp"
                             "\x00\x00\x00\x05"
                             "a.txt",
                             24));
    std::string g;
    put_short(g, -1);
    put_long(g, -2);
    EXPECT_EQ(g, std::string("\xff\xff\xff\xff\xff\xfe", 6));
    EXPECT_EQ(checksum_of(""), 0xFFFFFFFFu);
    EXPECT_EQ(checksum_of("abc"), 0x48AA78A2u);
}

TEST(Client, HelloV20IsAccepted) {
    Agent a;
    ASSERT_TRUE(start_sh(a, "head -c 1 >/dev/null; printf 'HELLO_v20\\n'; cat >/dev/null"));
    EXPECT_EQ(hello(a), Status::Ok);
    EXPECT_EQ(agent_close(a), 0);
}

TEST(Client, WrongHelloAndClosedPeer) {
    Agent a;
    ASSERT_TRUE(start_sh(a, "printf 'HELLO_v99\\n'; cat >/dev/null"));
    EXPECT_EQ(hello(a), ClientError::Hello);
    agent_close(a);
    Agent b;
    ASSERT_TRUE(start_sh(b, "exec >&-; cat >/dev/null")); // output closed, input read
    EXPECT_EQ(rm(b, "/tmp", "x"), ClientError::Closed);
    agent_close(b);
}

TEST(Client, SilentPeerTimesOut) {
    Agent a;
    ASSERT_TRUE(start_sh(a, "printf '\\nR\\000'; cat >/dev/null"));
    a.timeout_ms = 300;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(rm(a, "/tmp", "x"), ClientError::Timeout);
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_GE(ms, 250);
    EXPECT_LT(ms, 3000);
    agent_close(a);
}

TEST(Client, ReplyToAnotherRequestIsSeqMismatch) {
    Agent a;
    ASSERT_TRUE(start_sh(a, "printf 'R\\000\\000\\000\\007\\000\\000'; cat >/dev/null"));
    std::int32_t got = 0;
    ASSERT_EQ(send_raw(a, request_header(1, Op::Delete)), ClientError::None);
    EXPECT_EQ(read_reply(a, 1, 2000, &got), Status::SeqMismatch);
    EXPECT_EQ(got, 7);
    char rest[2];
    EXPECT_EQ(read_exact(a, rest, 2, 1000), ClientError::None); // status bytes left for the caller
    agent_close(a);
}

TEST(Client, WriteToAVanishedPeerIsAnError) {
    Agent a;
    ASSERT_TRUE(start_sh(a, "exit 3"));
    usleep(100000);
    std::string big(1 << 20, 'x');
    EXPECT_EQ(put(a, "/tmp", "x", big), ClientError::Write); // the request cannot go out
    EXPECT_EQ(send_raw(a, big), ClientError::Write);         // and no SIGPIPE
    EXPECT_EQ(agent_close(a), 3);
}

TEST(Client, NamesTooLongAreNotSent) {
    Agent a;
    ASSERT_TRUE(start_sh(a, "cat >/dev/null"));
    EXPECT_EQ(rm(a, std::string(96, 'd'), "x"), ClientError::Argument);
    EXPECT_EQ(rm(a, "/tmp", std::string(32, 'n')), ClientError::Argument);
    EXPECT_EQ(push(a, std::string(64, 'h'), "/tmp", "x", 0, 0), ClientError::Argument);
    EXPECT_EQ(undeploy(a, std::string(96, 'a')), ClientError::Argument);
    EXPECT_EQ(a.seq, 0);
    agent_close(a);
}

TEST(Client, ProgramThatCannotStart) {
    Agent a;
    EXPECT_FALSE(agent_start(a, {"/nonexistent/tarko_remote2"}));
    EXPECT_EQ(a.pid, -1);
}

TEST(Client, RealAgentRoundTrip) {
    Agent a;
    ASSERT_TRUE(agent_start(a, {testproc::bin("tarko_remote2")}));
    char tmpl[] = "/tmp/tarkoclient.XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::string data(200000, 'q');
    EXPECT_EQ(hello(a), Status::Ok);
    EXPECT_EQ(put(a, dir, "f", data), Status::Ok);
    FileInfo info;
    EXPECT_EQ(sum(a, dir, "f", &info), Status::Ok);
    EXPECT_EQ(info.length, 200000);
    EXPECT_EQ(info.checksum, checksum_of(data));
    EXPECT_EQ(get_path(a, dir, "f", (dir + "/g").c_str(), &info), Status::Ok);
    EXPECT_EQ(rm(a, dir, "f"), Status::Ok);
    EXPECT_EQ(rm(a, dir, "g"), Status::Ok);
    EXPECT_EQ(a.seq, 5);
    EXPECT_EQ(agent_close(a), 0);
    rmdir(dir.c_str());
}

// Found by reply_fuzz while results were plain numbers: a peer's status 0xFFFF came back
// as -1, the client's own time-out, and 0xFFFB as a checksum failure. The reply bytes of
// the finding, replayed: a negative status is the agent's answer (which the command
// refuses), never a failure of ours.
TEST(Client, NegativeStatusIsNoClientError) {
    for (const char *status : {"\\377\\377", "\\377\\373", "\\200\\000"}) {
        Agent a;
        std::string reply =
            std::string("printf '\\377\\377R\\000\\000\\000\\001") + status + "'; cat >/dev/null";
        ASSERT_TRUE(start_sh(a, reply));
        Reply r = rm(a, "/srv/d", "f");
        EXPECT_TRUE(r.answered()) << status;
        EXPECT_LT(code(r.status()), 0) << status;
        agent_close(a);
    }
}

TEST(Client, NegativeLengthOfASumIsAProtocolError) {
    Agent a;
    ASSERT_TRUE(start_sh(a, "printf '\\377\\377R\\000\\000\\000\\001\\000\\001"
                            "\\377\\377\\377\\376\\000\\000\\000\\000"
                            "R\\000\\000\\000\\001\\000\\000'; cat >/dev/null"));
    FileInfo info;
    EXPECT_EQ(sum(a, "/srv/d", "f", &info), ClientError::Protocol);
    agent_close(a);
}
