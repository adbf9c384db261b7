// The station client against stand-in peers: frame bytes, time limits, lost
// connections, and a peer that has gone away.
#include "client.h"
#include "proc.h"

#include <chrono>
#include <gtest/gtest.h>

using namespace station;

namespace {

// A peer that runs a shell command with the client's pipes as its input and output.
int start_sh(Agent &a, const std::string &cmd) {
    return agent_start(a, {"/bin/sh", "-c", cmd});
}

} // namespace

TEST(Frames, RequestBytesAsOnTheWire) {
    std::string f = request_header(1, 2);
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
    ASSERT_EQ(start_sh(a, "head -c 1 >/dev/null; printf 'HELLO_v20\\n'; cat >/dev/null"), 0);
    EXPECT_EQ(hello(a), 0);
    EXPECT_EQ(agent_close(a), 0);
}

TEST(Client, WrongHelloAndClosedPeer) {
    Agent a;
    ASSERT_EQ(start_sh(a, "printf 'HELLO_v99\\n'; cat >/dev/null"), 0);
    EXPECT_EQ(hello(a), ErrHello);
    agent_close(a);
    Agent b;
    ASSERT_EQ(start_sh(b, "exec >&-; cat >/dev/null"), 0); // output closed, input read
    EXPECT_EQ(rm(b, "/tmp", "x"), ErrClosed);
    agent_close(b);
}

TEST(Client, SilentPeerTimesOut) {
    Agent a;
    ASSERT_EQ(start_sh(a, "printf '\\nR\\000'; cat >/dev/null"), 0);
    a.timeout_ms = 300;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(rm(a, "/tmp", "x"), ErrTimeout);
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_GE(ms, 250);
    EXPECT_LT(ms, 3000);
    agent_close(a);
}

TEST(Client, ReplyToAnotherRequestIsSeqMismatch) {
    Agent a;
    ASSERT_EQ(start_sh(a, "printf 'R\\000\\000\\000\\007\\000\\000'; cat >/dev/null"), 0);
    std::int32_t got = 0;
    ASSERT_EQ(send_raw(a, request_header(1, 2)), 0);
    EXPECT_EQ(read_reply(a, 1, 2000, &got), 5);
    EXPECT_EQ(got, 7);
    char rest[2];
    EXPECT_EQ(read_exact(a, rest, 2, 1000), 0); // status bytes left for the caller
    agent_close(a);
}

TEST(Client, WriteToAVanishedPeerIsAnError) {
    Agent a;
    ASSERT_EQ(start_sh(a, "exit 3"), 0);
    usleep(100000);
    std::string big(1 << 20, 'x');
    EXPECT_EQ(put(a, "/tmp", "x", big), ErrWrite); // the request cannot go out
    EXPECT_EQ(send_raw(a, big), ErrWrite);         // and no SIGPIPE
    EXPECT_EQ(agent_close(a), 3);
}

TEST(Client, NamesTooLongAreNotSent) {
    Agent a;
    ASSERT_EQ(start_sh(a, "cat >/dev/null"), 0);
    EXPECT_EQ(rm(a, std::string(96, 'd'), "x"), ErrArgument);
    EXPECT_EQ(rm(a, "/tmp", std::string(32, 'n')), ErrArgument);
    EXPECT_EQ(push(a, std::string(64, 'h'), "/tmp", "x", 0, 0), ErrArgument);
    EXPECT_EQ(undeploy(a, std::string(96, 'a')), ErrArgument);
    EXPECT_EQ(a.seq, 0);
    agent_close(a);
}

TEST(Client, ProgramThatCannotStart) {
    Agent a;
    EXPECT_EQ(agent_start(a, {"/nonexistent/tarko_remote2"}), ErrStart);
    EXPECT_EQ(a.pid, -1);
}

TEST(Client, RealAgentRoundTrip) {
    Agent a;
    ASSERT_EQ(agent_start(a, {testproc::bin("tarko_remote2")}), 0);
    char tmpl[] = "/tmp/tarkoclient.XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::string data(200000, 'q');
    EXPECT_EQ(hello(a), 0);
    EXPECT_EQ(put(a, dir, "f", data), 0);
    FileInfo info;
    EXPECT_EQ(sum(a, dir, "f", &info), 0);
    EXPECT_EQ(info.length, 200000);
    EXPECT_EQ(info.checksum, checksum_of(data));
    EXPECT_EQ(get_path(a, dir, "f", (dir + "/g").c_str(), &info), 0);
    EXPECT_EQ(rm(a, dir, "f"), 0);
    EXPECT_EQ(rm(a, dir, "g"), 0);
    EXPECT_EQ(a.seq, 5);
    EXPECT_EQ(agent_close(a), 0);
    rmdir(dir.c_str());
}

// Found by reply_fuzz: a peer's status 0xFFFF came back as -1, the client's own time-out,
// and 0xFFFB as a checksum failure. The reply bytes of the finding, replayed.
TEST(Client, NegativeStatusIsAProtocolError) {
    for (const char *status : {"\\377\\377", "\\377\\373", "\\200\\000"}) {
        Agent a;
        std::string reply =
            std::string("printf '\\377\\377R\\000\\000\\000\\001") + status + "'; cat >/dev/null";
        ASSERT_EQ(start_sh(a, reply), 0);
        EXPECT_EQ(rm(a, "/srv/d", "f"), ErrProtocol) << status;
        agent_close(a);
    }
}
