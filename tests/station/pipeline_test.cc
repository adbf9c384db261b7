// The pipelined exchange against the real agent and against stand-in peers in a thread
// that answer out of turn, stay silent, or write a lot before they read.
#include "files.h"
#include "pipeline.h"
#include "proc.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace station;

namespace {

std::string answer(std::int32_t seq, std::int16_t status) {
    std::string f;
    put_byte(f, 'R');
    put_long(f, seq);
    put_short(f, status);
    return f;
}

// A peer running body on the far ends of two pipes attached to the Agent.
struct Peer {
    Agent a;
    int in = -1, out = -1; // the peer reads requests from in, writes answers to out
    std::thread t;
    explicit Peer(std::function<void(int in, int out)> body) {
        int req[2], rep[2];
        EXPECT_EQ(pipe(req), 0);
        EXPECT_EQ(pipe(rep), 0);
        agent_attach(a, req[1], rep[0]);
        in = req[0];
        out = rep[1];
        t = std::thread([this, body] {
            body(in, out);
            close(out);
            testproc::read_all(in, 2000);
            close(in);
        });
    }
    ~Peer() {
        agent_close(a);
        t.join();
    }
};

PipeRequest sum_of(const std::string &dir, const std::string &name) {
    PipeRequest r;
    r.op = PipeOp::Sum;
    r.dir = dir;
    r.name = name;
    return r;
}

PipeRequest put_of(const std::string &local, const std::string &dir, const std::string &name) {
    PipeRequest r = sum_of(dir, name);
    r.op = PipeOp::Put;
    r.local = local;
    return r;
}

class PipelineAgent : public ::testing::Test {
  protected:
    std::string dir;
    void SetUp() override {
        char tmpl[] = "/tmp/pipeline_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0); }
    void write(const std::string &rel, const std::string &data) {
        std::ofstream(dir + "/" + rel, std::ios::binary) << data;
    }
};

} // namespace

// Sums of many files back to back, then puts, one of them refused: the refused put
// sends no data and the put after it still lands whole.
TEST_F(PipelineAgent, SumsThenPutsWithARefusal) {
    Agent a;
    ASSERT_TRUE(agent_start(a, {testproc::bin("tarko_remote2")}));
    ASSERT_TRUE(hello(a).ok());
    std::vector<PipeRequest> sums;
    for (int i = 0; i < 600; i++) {
        std::string name("f");
        name += std::to_string(i);
        if (i % 2 == 0)
            write(name, std::string(static_cast<std::size_t>(i), 'x'));
        sums.push_back(sum_of(dir, name));
    }
    Pipeline p = pipeline_of(a, sums.data(), sums.size());
    EXPECT_EQ(pipeline_run(&p, 1), 0u);
    for (int i = 0; i < 600; i++) {
        ASSERT_EQ(sums[i].fail, PipeFail::None) << i;
        EXPECT_EQ(sums[i].status, i % 2 == 0 ? Status::Ok : Status::CannotOpen) << i;
        if (i % 2 == 0) {
            EXPECT_EQ(sums[i].info.checksum, checksum_of(std::string(i, 'x'))) << i;
        }
    }
    write("plain", "a file, not a directory");
    write("big", std::string(3 << 20, 'b'));
    std::vector<PipeRequest> puts{
        put_of(dir + "/f2", dir + "/out", "a"), put_of(dir + "/big", dir + "/plain", "b"),
        put_of(dir + "/big", dir + "/out", "c"), put_of(dir + "/missing", dir + "/out", "d"),
        sum_of(dir + "/out", "c")};
    Pipeline q = pipeline_of(a, puts.data(), puts.size());
    EXPECT_EQ(pipeline_run(&q, 1), 0u);
    EXPECT_EQ(puts[0].status, Status::Ok);
    EXPECT_EQ(puts[1].status, Status::NotDirectory);
    EXPECT_EQ(puts[2].status, Status::Ok);
    EXPECT_EQ(puts[2].length, 3 << 20);
    EXPECT_EQ(puts[3].fail, PipeFail::Local);
    EXPECT_EQ(puts[3].seq, 0);
    EXPECT_EQ(puts[4].info.length, 3 << 20);
    EXPECT_EQ(a.seq, 604);
    EXPECT_EQ(agent_close(a), 0);
}

// Requests that follow the hello without waiting for its answer; with last set, the
// agent's input ends after the final request, so the agent ends by itself.
TEST_F(PipelineAgent, RequestsBehindTheHelloAndTheInputEndedAfterTheLast) {
    Agent a;
    ASSERT_TRUE(agent_start(a, {testproc::bin("tarko_remote2")}));
    ASSERT_EQ(hello_send(a), ClientError::None);
    write("f", "data");
    std::vector<PipeRequest> r{sum_of(dir, "f"), put_of(dir + "/f", dir + "/out", "g")};
    Pipeline p = pipeline_of(a, r.data(), r.size());
    p.hello = p.last = true;
    p.hello_ms = 5000;
    EXPECT_EQ(pipeline_run(&p, 1), 0u);
    EXPECT_FALSE(p.hello);
    EXPECT_EQ(r[0].status, Status::Ok);
    EXPECT_EQ(r[1].status, Status::Ok);
    EXPECT_EQ(a.to, -1);
    EXPECT_TRUE(testproc::wait_until([&] { return waitpid(a.pid, nullptr, WNOHANG) == a.pid; }));
    a.pid = -1;
}

// A peer whose first words are not a hello fails the exchange; the hello stays unseen.
// Puts sent right behind the sums of their files: the one whose host copy is the same
// is withdrawn and leaves the target as it was, with no temporary file; the others land.
TEST_F(PipelineAgent, PutsBehindTheirSumsWithdrawnWhenTheHostHasTheSame) {
    Agent a;
    ASSERT_TRUE(agent_start(a, {testproc::bin("tarko_remote2")}));
    ASSERT_TRUE(hello(a).ok());
    write("same", "kept");
    write("new", "newer");
    ASSERT_EQ(system(("mkdir " + dir + "/out && cp -p " + dir + "/same " + dir +
                      "/out/ && echo old >" + dir + "/out/new")
                         .c_str()),
              0);
    struct stat before;
    ASSERT_EQ(stat((dir + "/out/same").c_str(), &before), 0);
    std::vector<PipeRequest> r;
    for (const char *name : {"same", "new", "absent"}) {
        r.push_back(sum_of(dir + "/out", name));
        r.push_back(put_of(dir + "/" + (name[0] == 'a' ? "new" : name), dir + "/out", name));
        r.back().withdraw_if_same = true;
        r.back().expect = {name[0] == 's' ? 4 : 5, checksum_of(name[0] == 's' ? "kept" : "newer")};
    }
    Pipeline p = pipeline_of(a, r.data(), r.size());
    EXPECT_EQ(pipeline_run(&p, 1), 0u);
    EXPECT_EQ(r[1].fail, PipeFail::Withdrawn);
    EXPECT_EQ(r[1].status, Status::BadChecksum);
    EXPECT_EQ(r[1].length, 0);
    struct stat after;
    ASSERT_EQ(stat((dir + "/out/same").c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_NE(access((dir + "/out/same-TARKO").c_str(), F_OK), 0);
    for (int i : {3, 5}) {
        EXPECT_EQ(r[i].fail, PipeFail::None) << i;
        EXPECT_EQ(r[i].status, Status::Ok) << i;
    }
    EXPECT_EQ(testfiles::read_file(dir + "/out/new"), "newer");
    EXPECT_EQ(testfiles::read_file(dir + "/out/absent"), "newer");
    EXPECT_EQ(agent_close(a), 0);
}

TEST(PipelinePeer, WrongHelloIsAProtocolError) {
    Peer peer([](int in, int out) {
        testproc::read_n(in, 1 + 18, 2000);
        testproc::write_all(out, "HELLO_v99\n" + answer(1, 11));
    });
    ASSERT_EQ(hello_send(peer.a), ClientError::None);
    PipeRequest r = sum_of("/d", "n");
    Pipeline p = pipeline_of(peer.a, &r, 1);
    p.hello = true;
    p.hello_ms = 2000;
    EXPECT_EQ(pipeline_run(&p, 1), 1u);
    EXPECT_TRUE(p.hello);
    EXPECT_EQ(r.fail, PipeFail::Protocol);
}

TEST(PipelinePeer, AnswerOutOfTurnIsAProtocolError) {
    Peer peer([](int in, int out) {
        testproc::read_n(in, 2 * 18, 2000); // two sums of "/d" and "n"
        testproc::write_all(out, answer(2, 11) + answer(1, 11));
    });
    std::vector<PipeRequest> r{sum_of("/d", "n"), sum_of("/d", "n")};
    Pipeline p = pipeline_of(peer.a, r.data(), r.size());
    EXPECT_EQ(pipeline_run(&p, 1), 1u);
    EXPECT_EQ(r[0].fail, PipeFail::Protocol);
    EXPECT_EQ(r[1].fail, PipeFail::Protocol);
}

TEST(PipelinePeer, SilentPeerTimesOutAndRestIsNotSent) {
    Peer peer([](int in, int) { testproc::read_n(in, 1 << 20, 1500); });
    std::vector<PipeRequest> r{sum_of("/d", "n"), put_of("/etc/hostname", "/d", "m"),
                               sum_of("/d", "n")};
    peer.a.timeout_ms = 300;
    Pipeline p = pipeline_of(peer.a, r.data(), r.size());
    EXPECT_EQ(pipeline_run(&p, 1), 1u);
    EXPECT_EQ(r[0].fail, PipeFail::Timeout);
    EXPECT_EQ(r[1].fail, PipeFail::Timeout);
    EXPECT_EQ(r[2].fail, PipeFail::NotSent);
}

// The peer takes a put, then writes far more than a pipe holds before it reads the
// data: a station that only wrote would wait forever on a full pipe, as would the peer.
TEST(PipelinePeer, FullPipesBothWaysDoNotDeadlock) {
    char tmpl[] = "/tmp/pipeline_big_XXXXXX";
    int fd = mkstemp(tmpl);
    ASSERT_GE(fd, 0);
    std::string data(1 << 20, 'd');
    ASSERT_TRUE(testproc::write_all(fd, data));
    close(fd);
    Peer peer([&](int in, int out) {
        testproc::read_n(in, 18, 2000);
        testproc::write_all(out, answer(1, 1) + std::string(512 * 1024, '\n'));
        std::string got = testproc::read_n(in, 4 + data.size() + 4, 5000);
        std::string crc;
        put_long(crc, static_cast<std::int32_t>(checksum_of(data)));
        bool ok = got.size() == 8 + data.size() && got.substr(got.size() - 4) == crc;
        testproc::write_all(out, answer(1, ok ? 0 : 6));
    });
    PipeRequest r = put_of(tmpl, "/d", "n");
    Pipeline p = pipeline_of(peer.a, &r, 1);
    EXPECT_EQ(pipeline_run(&p, 1), 0u);
    EXPECT_EQ(r.fail, PipeFail::None);
    EXPECT_EQ(r.status, Status::Ok);
    unlink(tmpl);
}

// The first of two puts grows while it is sent; the second put's header goes out before
// the first's final answer comes, and the first must still end Changed.
TEST_F(PipelineAgent, ChangedPutFollowedByAnotherPut) {
    write("a", "12345");
    write("b", "67890");
    Peer peer([&](int in, int out) {
        testproc::read_n(in, 18, 2000); // the first put's header
        std::ofstream(dir + "/a", std::ios::app) << "more";
        testproc::write_all(out, answer(1, 1));
        testproc::read_n(in, 4 + 5 + 4 + 18, 2000); // its data, the second put's header
        testproc::write_all(out, answer(1, 6) + answer(2, 1));
        testproc::read_n(in, 4 + 5 + 4, 2000);
        testproc::write_all(out, answer(2, 0));
    });
    std::vector<PipeRequest> r{put_of(dir + "/a", "/d", "a"), put_of(dir + "/b", "/d", "b")};
    Pipeline p = pipeline_of(peer.a, r.data(), r.size());
    EXPECT_EQ(pipeline_run(&p, 1), 0u);
    EXPECT_EQ(r[0].fail, PipeFail::Changed);
    EXPECT_EQ(r[0].status, Status::BadChecksum);
    EXPECT_EQ(r[1].fail, PipeFail::None);
    EXPECT_EQ(r[1].status, Status::Ok);
}

// A put's final answer that is read while the next put's header, added by the tick once
// the data went, still waits to be written: the data are all out, so it is in turn.
TEST_F(PipelineAgent, FinalAnswerWhileTheNextHeaderWaits) {
    write("a", "12345");
    Peer peer([&](int in, int out) {
        testproc::read_n(in, 18, 2000);
        testproc::write_all(out, answer(1, 1));
        testproc::read_n(in, 4 + 5 + 4, 2000);
        testproc::write_all(out, answer(1, 0));
        testproc::read_n(in, 18, 2000);
        testproc::write_all(out, answer(2, 8));
    });
    std::vector<PipeRequest> r{put_of(dir + "/a", "/d", "a")};
    r.reserve(2);
    Pipeline p = pipeline_of(peer.a, r.data(), r.size());
    std::pair<std::vector<PipeRequest> *, Pipeline *> ctx{&r, &p};
    auto add = [](void *c) {
        auto [reqs, pipe] = *static_cast<decltype(ctx) *>(c);
        if (reqs->size() == 1 && pipe->sent == 1 && !pipe->held && !pipe->data &&
            pipe->out.empty() && pipe->answered == 0) {
            usleep(50000); // the final answer is in the pipe by now
            reqs->push_back(put_of(reqs->front().local, "/d", "b"));
            pipe->reqs = reqs->data();
            pipe->n = reqs->size();
        }
    };
    EXPECT_EQ(pipeline_run(&p, 1, PipeTick{add, &ctx}), 0u);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].fail, PipeFail::None);
    EXPECT_EQ(r[0].status, Status::Ok);
    EXPECT_EQ(r[1].fail, PipeFail::None);
    EXPECT_EQ(r[1].status, Status::CannotCreate);
}

// The tick adds requests that fail before anything goes out: it is called again all
// the same, until a call adds nothing.
TEST(PipelinePeer, TickCalledAgainAfterRequestsThatFailLocally) {
    Peer peer([](int, int) {});
    std::vector<PipeRequest> r;
    Pipeline p = pipeline_of(peer.a, nullptr, 0);
    std::pair<std::vector<PipeRequest> *, Pipeline *> ctx{&r, &p};
    auto add = [](void *c) {
        auto [reqs, pipe] = *static_cast<decltype(ctx) *>(c);
        if (reqs->size() < 3) {
            reqs->push_back(put_of("/nonexistent/f", "/d", "n"));
            pipe->reqs = reqs->data();
            pipe->n = reqs->size();
        }
    };
    EXPECT_EQ(pipeline_run(&p, 1, PipeTick{add, &ctx}), 0u);
    ASSERT_EQ(r.size(), 3u);
    for (const PipeRequest &q : r)
        EXPECT_EQ(q.fail, PipeFail::Local);
}

// An interrupt that comes while the agent's side is always ready (its output never
// stops, its input always takes more: the wait never sleeps) ends the exchange at once,
// not when it ends by itself.
TEST(PipelinePeer, InterruptSeenWhenTheWaitNeverSleeps) {
    struct sigaction sa {
    }, old_int{};
    sa.sa_handler = [](int sig) { interrupted = sig; };
    sigaction(SIGINT, &sa, &old_int);
    Agent a;
    agent_attach(a, open("/dev/null", O_WRONLY | O_CLOEXEC),
                 open("/dev/zero", O_RDONLY | O_CLOEXEC));
    struct Ticks {
        int n = 0;
        Agent *a;
        std::chrono::steady_clock::time_point end;
    } ticks{0, &a, std::chrono::steady_clock::now() + std::chrono::seconds(3)};
    PipeTick tick{[](void *ctx) {
                      auto &t = *static_cast<Ticks *>(ctx);
                      if (++t.n == 50)
                          raise(SIGINT); // pending behind the mask, as from outside
                      // Bytes before an answer's mark are passed over forever: a bound
                      // for this test, the agent's output ends.
                      if (std::chrono::steady_clock::now() > t.end) {
                          int null = open("/dev/null", O_RDONLY | O_CLOEXEC);
                          dup2(null, t.a->from);
                          close(null);
                          t.end = std::chrono::steady_clock::time_point::max();
                      }
                  },
                  &ticks};
    PipeRequest sum = sum_of("/d", "n");
    Pipeline p = pipeline_of(a, &sum, 1);
    auto t0 = std::chrono::steady_clock::now();
    pipeline_run(&p, 1, tick);
    double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(sum.fail, PipeFail::Interrupted);
    EXPECT_LT(s, 1.0);
    agent_close(a);
    interrupted = 0;
    sigaction(SIGINT, &old_int, nullptr);
}

TEST(Rate, ParsedAndPaced) {
    double r = 0;
    EXPECT_EQ(parse_rate("100M", &r), 0);
    EXPECT_DOUBLE_EQ(r, 100e6);
    EXPECT_EQ(parse_rate("12.5MB", &r), 0);
    EXPECT_DOUBLE_EQ(r, 12.5e6);
    EXPECT_EQ(parse_rate("50Mbit", &r), 0);
    EXPECT_DOUBLE_EQ(r, 6.25e6);
    EXPECT_EQ(parse_rate("800k", &r), 0);
    EXPECT_DOUBLE_EQ(r, 800e3);
    for (const char *bad : {"", "M", "-5M", "10Q", "10Mbits", "0", "1e400"})
        EXPECT_EQ(parse_rate(bad, &r), -1) << bad;

    Pacer p;
    pacer_start(p, 1e6); // 200 ms for 200 kB
    auto t0 = std::chrono::steady_clock::now();
    std::size_t total = 0, waits = 0;
    while (total < 200000) {
        int wait = 0;
        std::size_t k = pacer_allow(p, 200000 - total, &wait);
        if (k == 0) {
            waits++;
            std::this_thread::sleep_for(std::chrono::milliseconds(wait));
        }
        // Whole batches, never what trickled in since the last ask.
        EXPECT_TRUE(k == 0 || k >= 4096 || k == 200000 - total) << k;
        pacer_sent(p, k);
        total += k;
    }
    EXPECT_LE(waits, 40u); // one sleep per batch of 10 ms, not a spin
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_GE(ms, 180);
    EXPECT_LE(ms, 400);
}
