// Black-box tests of the relay against broken far agents (the fake of fake_remote.cc):
// wrong or missing hellos, odd first replies, far agents that stop answering or end.
// After every failure the agent on host a must still serve, and hold no more
// descriptors and children than a cached connection needs.
#include "relay_site.h"

#include <chrono>
#include <gtest/gtest.h>

using namespace relaytest;

namespace {

constexpr const char *PROXY = "proxy /fake_remote/agent";

double seconds_since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

// A site of a and b, the fake with script on b, the agent on a started; base_fds is the
// agent's descriptor count before any relay.
struct Faults : ::testing::Test {
    Station s;
    int base_fds = 0;
    bool ready(const std::string &script, std::vector<std::string> hosts = {"a", "b"}) {
        std::string why;
        if (!testsite::available(&why))
            return false;
        if (!s.site.up(hosts)) {
            ADD_FAILURE() << s.site.error();
            return false;
        }
        if (!s.fake("b", script) || !s.start()) {
            ADD_FAILURE() << "cannot prepare the site";
            return false;
        }
        base_fds = s.fds();
        return true;
    }
    void expect_clean() {
        EXPECT_TRUE(wait_until([&] { return s.children().empty(); }, 2000));
        EXPECT_EQ(s.fds(), base_fds);
    }
};

#define READY_OR_SKIP(...)                                                                         \
    do {                                                                                           \
        std::string why_;                                                                          \
        if (!testsite::available(&why_))                                                           \
            GTEST_SKIP() << "simulated site unavailable: " << why_;                                \
        ASSERT_TRUE(ready(__VA_ARGS__));                                                           \
    } while (0)

TEST_F(Faults, WrongHelloGives12AndTerminatesTheChild) {
    // The far side would sit for a minute after its wrong hello: only SIGTERM ends it soon.
    READY_OR_SKIP("hello HELLO_v21 sleep 60");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(station::rmremote(s.agent, "b", "/tmp", "x"), Status::NoHello);
    EXPECT_LT(seconds_since(t0), 8.0);
    expect_clean();
    EXPECT_TRUE(wait_until([&] {
        auto e = s.events("b");
        return e.find("end\n") != std::string::npos || e.find("term\n") != std::string::npos;
    })) << s.events("b");

    // The cache stayed empty: the next relay starts a new child with a new hello.
    ASSERT_TRUE(s.site.write_file("b", "/fake_remote/mode", PROXY));
    ASSERT_TRUE(s.site.write_file("b", "/srv/x", "x"));
    EXPECT_EQ(station::rmremote(s.agent, "b", "/srv", "x"), Status::Ok);
    EXPECT_FALSE(s.site.exists("b", "/srv/x"));
    EXPECT_EQ(s.starts("b"), 2);
    EXPECT_EQ(s.children().size(), 1u);
    EXPECT_EQ(s.stop(), 0);
}

TEST_F(Faults, HelloTooShortGives12) {
    READY_OR_SKIP("hello HELLO_v2 die");
    EXPECT_EQ(station::rmremote(s.agent, "b", "/tmp", "x"), Status::NoHello);
    expect_clean();
    EXPECT_EQ(s.stop(), 0);
}

TEST_F(Faults, UnknownHostGives12) {
    READY_OR_SKIP(PROXY);
    EXPECT_EQ(station::rmremote(s.agent, "nosuchhost", "/tmp", "x"), Status::NoHello);
    expect_clean();
    EXPECT_EQ(s.stop(), 0);
}

TEST_F(Faults, NoHelloWithinTenSecondsGives12) {
    READY_OR_SKIP("hello none sleep 60");
    ASSERT_TRUE(s.site.write_file("a", "/srv/f", "data"));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(station::push(s.agent, "b", "/srv", "f", 4, station::checksum_of("data")),
              Status::NoHello);
    double took = seconds_since(t0);
    EXPECT_GE(took, 9.5);
    EXPECT_LT(took, 15.0);
    expect_clean(); // the local file is closed too
    EXPECT_TRUE(wait_until([&] { return s.events("b").find("term") != std::string::npos; }))
        << s.events("b");
    EXPECT_EQ(s.stop(), 0);
}

TEST_F(Faults, FirstReplyZeroGives2) {
    READY_OR_SKIP("hello HELLO_v22 reply 0");
    ASSERT_TRUE(s.site.write_file("a", "/srv/f", "data"));
    EXPECT_EQ(station::push(s.agent, "b", "/srv", "f", 4, station::checksum_of("data")),
              Status::Failed);
    EXPECT_EQ(s.stop(), 0);
    ASSERT_TRUE(s.ended("b"));
    EXPECT_EQ(hex(s.received("b")), hex(hello_byte() + request(1, Op::Put, "/srv", "f")));
}

TEST_F(Faults, FirstReplySevenGives7AndSendsNoData) {
    READY_OR_SKIP("hello HELLO_v22 reply 7");
    ASSERT_TRUE(s.site.write_file("a", "/srv/f", "data"));
    EXPECT_EQ(station::push(s.agent, "b", "/srv", "f", 4, station::checksum_of("data")),
              Status::MkdirFailed);
    EXPECT_EQ(s.children().size(), 1u); // the connection stays cached
    EXPECT_EQ(s.fds(), base_fds + 2);   // its two pipes; the local file is closed
    EXPECT_EQ(s.stop(), 0);
    ASSERT_TRUE(s.ended("b"));
    EXPECT_EQ(hex(s.received("b")), hex(hello_byte() + request(1, Op::Put, "/srv", "f")));
}

TEST_F(Faults, ReplyToAnotherNumberGives5) {
    // Request 1 is answered as if it were request 9, request 2 properly.
    READY_OR_SKIP("hello HELLO_v22 replyas 9 0 reply 3");
    EXPECT_EQ(station::rmremote(s.agent, "b", "/tmp", "x"), Status::SeqMismatch);
    // The stray status bytes stay in the stream and are skipped before the next 'R'.
    EXPECT_EQ(station::rmremote(s.agent, "b", "/tmp", "y"), Status::IsDirectory);
    EXPECT_EQ(s.stop(), 0);
    ASSERT_TRUE(s.ended("b"));
    EXPECT_EQ(hex(s.received("b")), hex(hello_byte() + request(1, Op::Delete, "/tmp", "x") +
                                        request(2, Op::Delete, "/tmp", "y")));
}

TEST_F(Faults, DeadFarAgentGives17AndTheAgentLivesOn) {
    // The far agent answers the first request, then ends mid-exchange.
    READY_OR_SKIP("hello HELLO_v22 answer 1 die", {"a", "b", "c"});
    ASSERT_TRUE(s.site.write_file("a", "/srv/f", "data"));
    const auto sum = station::checksum_of("data");
    EXPECT_EQ(station::push(s.agent, "b", "/srv", "f", 4, sum), Status::NoResponse);
    // The dead connection stays cached and fails the same way, every time.
    EXPECT_EQ(station::push(s.agent, "b", "/srv", "f", 4, sum), Status::NoResponse);
    EXPECT_EQ(station::rmremote(s.agent, "b", "/srv", "f"), Status::NoResponse);
    EXPECT_EQ(s.starts("b"), 1);
    // A relay to another host replaces it; the dead child is awaited, not left a zombie.
    EXPECT_EQ(station::push(s.agent, "c", "/srv", "f", 4, sum), Status::Ok);
    EXPECT_EQ(s.site.read_file("c", "/srv/f"), "data");
    EXPECT_EQ(s.children().size(), 1u);
    EXPECT_EQ(s.fds(), base_fds + 2);
    EXPECT_EQ(s.stop(), 0);
}

TEST_F(Faults, FarAgentGoneDuringLargeDataGives10) {
    // More data than the pipe and the stream buffer hold: the writes themselves fail.
    READY_OR_SKIP("hello HELLO_v22 answer 1 die");
    const std::string data(1 << 20, 'z');
    ASSERT_TRUE(s.site.write_file("a", "/srv/big", data));
    EXPECT_EQ(station::push(s.agent, "b", "/srv", "big", 1 << 20, station::checksum_of(data)),
              Status::ShortWrite);
    EXPECT_EQ(station::rmremote(s.agent, "b", "/srv", "big"), Status::NoResponse);
    EXPECT_EQ(s.fds(), base_fds + 2);
    EXPECT_EQ(s.stop(), 0); // SIGPIPE did not end the agent: it ends normally
}

TEST_F(Faults, ReplyStoppingHalfwayGives17AfterTenSeconds) {
    READY_OR_SKIP("hello HELLO_v22 partial sleep 60");
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(station::rmremote(s.agent, "b", "/tmp", "x"), Status::NoResponse);
    double took = seconds_since(t0);
    EXPECT_GE(took, 9.5);
    EXPECT_LT(took, 15.0);
    // The agent still serves, under its request limit re-armed after the timed read.
    ASSERT_TRUE(s.site.write_file("a", "/srv/y", "y"));
    EXPECT_EQ(station::push(s.agent, "a", "/srv", "missing", 1, 0), Status::CannotOpen);
    EXPECT_EQ(s.stop(), 0);
}

// Starts a second agent on a through sh, the agent's path following the command line
// prefix that limits it, and attaches a station to it.
struct Limited {
    testproc::Child child;
    station::Agent agent;
    pid_t pid = 0;
    bool start(Station &s, const std::string &prefix) {
        if (!s.site.spawn("a", {"/bin/sh", "-c", prefix + std::string(AGENT)}, child))
            return false;
        station::agent_attach(agent, child.in, child.out);
        child.in = child.out = -1;
        agent.timeout_ms = 20000;
        if (!station::hello(agent).ok())
            return false;
        pid = s.site.find_process("a", AGENT);
        return pid != 0;
    }
    int stop() {
        station::agent_close(agent);
        return testproc::wait(child, 10000);
    }
    ~Limited() { testproc::reap(child); }
};

TEST_F(Faults, NoDescriptorsForPipesGives13) {
    READY_OR_SKIP(PROXY);
    EXPECT_EQ(s.stop(), 0);
    // Two descriptors beyond what the agent holds anyway: a push opens its local file
    // and then cannot make its first pipe; a delete makes its first pipe and cannot make
    // the second, which must close the first again.
    Limited l;
    ASSERT_TRUE(l.start(s, "ulimit -n " + std::to_string(base_fds + 2) + " && exec "));
    ASSERT_EQ(open_fds(l.pid), base_fds);
    ASSERT_TRUE(s.site.write_file("a", "/srv/f", "data"));
    EXPECT_EQ(station::push(l.agent, "b", "/srv", "f", 4, station::checksum_of("data")),
              Status::PipeFailed);
    EXPECT_EQ(station::rmremote(l.agent, "b", "/srv", "f"), Status::PipeFailed);
    EXPECT_EQ(station::rmremote(l.agent, "b", "/srv", "f"), Status::PipeFailed);
    EXPECT_EQ(open_fds(l.pid), base_fds);
    EXPECT_TRUE(children_of(l.pid).empty());
    EXPECT_EQ(s.starts("b"), 0);
    EXPECT_EQ(l.stop(), 0);
}

TEST_F(Faults, NoProcessGives14) {
    READY_OR_SKIP(PROXY);
    EXPECT_EQ(s.stop(), 0);
    // An unprivileged agent allowed one process of its user: itself.
    Limited l;
    ASSERT_TRUE(l.start(s, "exec prlimit --nproc=1 setpriv --reuid=65534 --regid=65534 "
                           "--clear-groups --inh-caps=-all "));
    ASSERT_TRUE(s.site.write_file("a", "/srv/f", "data"));
    EXPECT_EQ(station::push(l.agent, "b", "/srv", "f", 4, station::checksum_of("data")),
              Status::ForkFailed);
    EXPECT_EQ(station::rmremote(l.agent, "b", "/srv", "f"), Status::ForkFailed);
    EXPECT_EQ(open_fds(l.pid), base_fds);
    EXPECT_EQ(s.starts("b"), 0);
    int status = l.stop();
#if !defined(__SANITIZE_ADDRESS__)
    // (The leak checker of a sanitizer build needs a process of its own at exit.)
    EXPECT_EQ(status, 0);
#endif
    (void)status;
}

} // namespace
