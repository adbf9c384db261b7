// The four query clients as users and services see them: command line, request bytes
// on the wire, answers, messages, exit statuses and time limits.
#include "proc.h"
#include "service.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

using testservice::End;
using testservice::Script;
using testservice::Service;
using Clock = std::chrono::steady_clock;

struct Variant {
    const char *name;
    bool wide, dgram;
    std::size_t request, answer;
};

// Test lists show the program's name rather than the bytes of the record.
void PrintTo(const Variant &v, std::ostream *os) {
    *os << v.name;
}

const Variant quip{"quip", false, false, 244, 80};
const Variant quipwide{"quipwide", true, false, 420, 256};
const Variant quipdgram{"quipdgram", false, true, 244, 80};
const Variant quipdgramwide{"quipdgramwide", true, true, 420, 256};

class Query : public ::testing::TestWithParam<Variant> {
  protected:
    const Variant &v() const { return GetParam(); }

    testproc::Result ask(const std::vector<std::string> &args, double *took = nullptr) {
        std::vector<std::string> argv = {testproc::bin(v().name)};
        argv.insert(argv.end(), args.begin(), args.end());
        auto t0 = Clock::now();
        testproc::Result r = testproc::run(argv);
        if (took)
            *took = std::chrono::duration<double>(Clock::now() - t0).count();
        return r;
    }

    Script answering(std::vector<std::pair<int, std::string>> sends, End end = End::hold) {
        Script s;
        s.expect = v().request;
        s.sends = std::move(sends);
        s.end = end;
        return s;
    }
};

INSTANTIATE_TEST_SUITE_P(All, Query, ::testing::Values(quip, quipwide, quipdgram, quipdgramwide),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_P(Query, WrongArgumentCountPrintsUsage) {
    std::string usage =
        std::string("usage: ") + v().name + " portnum str1 str2 str3 [nettimeout]\n";
    for (auto args :
         {std::vector<std::string>{"1", "a", "b"},
          std::vector<std::string>{"1", "a", "b", "c", "5", "extra"}, std::vector<std::string>{}}) {
        testproc::Result r = ask(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, usage);
        EXPECT_EQ(r.out, "");
    }
}

std::uint32_t u32(const std::string &s, std::size_t at) {
    std::uint32_t x = 0;
    std::memcpy(&x, s.data() + at, 4);
    return x;
}

TEST_P(Query, RequestRecordOnTheWire) {
    Service svc(v().dgram, answering({{0, "ok"}}, End::close));
    std::string str3(100, 'c');
    testproc::Result r = ask({svc.spec(), "alpha", "beta", str3, "1"});
    svc.join();
    EXPECT_EQ(r.status, 0);
    const std::string &q = svc.received;
    ASSERT_EQ(q.size(), v().request);
    EXPECT_EQ(u32(q, 0), 2u);
    EXPECT_EQ(q.substr(4, 80), "alpha" + std::string(75, '\0'));
    EXPECT_EQ(q.substr(84, 80), "beta" + std::string(76, '\0'));
    if (v().wide && !v().dgram) {
        // quipwide: the whole text and its NUL, running on to offset 264.
        EXPECT_EQ(q.substr(164, 101), str3 + '\0');
        EXPECT_EQ(q.substr(265), std::string(420 - 265, '\0'));
    } else {
        EXPECT_EQ(q.substr(164, 80), std::string(80, 'c'));
        EXPECT_EQ(q.substr(244), std::string(v().request - 244, '\0'));
    }
}

TEST_P(Query, ShortStr3IsZeroFilled) {
    Service svc(v().dgram, answering({{0, "ok"}}, End::close));
    ask({svc.spec(), "", "", "xyz", "1"});
    svc.join();
    ASSERT_EQ(svc.received.size(), v().request);
    EXPECT_EQ(svc.received.substr(164), "xyz" + std::string(v().request - 167, '\0'));
}

TEST_P(Query, OverlongTextsAreCutToTheirFields) {
    Service svc(v().dgram, answering({{0, "ok"}}, End::close));
    std::string big(300, 'x');
    ask({svc.spec(), big, big, big, "1"});
    svc.join();
    const std::string &q = svc.received;
    ASSERT_EQ(q.size(), v().request);
    EXPECT_EQ(q.substr(4, 80), std::string(79, 'x') + '\0');
    EXPECT_EQ(q.substr(84, 80), std::string(79, 'x') + '\0');
    if (v().wide && !v().dgram)
        EXPECT_EQ(q.substr(164), std::string(255, 'x') + '\0');
    else
        EXPECT_EQ(q.substr(164), std::string(80, 'x') + std::string(v().request - 244, '\0'));
}

TEST_P(Query, FullAnswerWithoutNulIsPrintedWhole) {
    std::string full(v().answer, 'A');
    Service svc(v().dgram, answering({{0, full}}));
    testproc::Result r = ask({svc.spec(), "a", "b", "c", "5"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, full + "\n");
}

TEST_P(Query, TooMuchIsCutToTheAnswerSize) {
    std::string more(v().answer, 'A');
    Service svc(v().dgram, answering({{0, more + std::string(700, 'B')}}));
    testproc::Result r = ask({svc.spec(), "a", "b", "c", "5"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, more + "\n");
}

TEST_P(Query, AnswerEndsAtItsNul) {
    std::string answer = std::string("hello") + '\0' + "world";
    answer.resize(v().answer, 'z');
    Service svc(v().dgram, answering({{0, answer}}));
    testproc::Result r = ask({svc.spec(), "a", "b", "c", "5"});
    EXPECT_EQ(r.out, "hello\n");
}

TEST_P(Query, AnswerInPiecesIsGathered) {
    std::size_t half = v().answer / 2;
    std::string first(half, '1'), second(v().answer - half, '2');
    Service svc(v().dgram, answering({{0, first}, {200, second}}));
    double took = 0;
    testproc::Result r = ask({svc.spec(), "a", "b", "c", "5"}, &took);
    EXPECT_EQ(r.out, first + second + "\n");
    EXPECT_LT(took, 3.0);
}

TEST_P(Query, ShortAnswerWaitsForTheLimit) {
    Service svc(v().dgram, answering({{0, "part"}}));
    double took = 0;
    testproc::Result r = ask({svc.spec(), "a", "b", "c", "1"}, &took);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "part\n");
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 3.5);
}

TEST_P(Query, SilentServiceCostsTheLimit) {
    Service svc(v().dgram, answering({}));
    double took = 0;
    testproc::Result r = ask({svc.spec(), "a", "b", "c", "1"}, &took);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n");
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 3.5);
}

TEST_P(Query, ZeroTimeoutPrintsWhatIsAlreadyThere) {
    Service svc(v().dgram, answering({{300, "late"}}));
    double took = 0;
    testproc::Result r = ask({svc.spec(), "a", "b", "c", "0"}, &took);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n");
    EXPECT_LT(took, 1.0);
}

TEST_P(Query, NothingListening) {
    int port = testnet::closed_port();
    double took = 0;
    testproc::Result r = ask({std::to_string(port) + "@127.0.0.1", "a", "b", "c", "2"}, &took);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n");
    if (v().wide && !v().dgram)
        EXPECT_EQ(r.err, "Can't connect to port socket [111]\n");
    else
        EXPECT_EQ(r.err, "");
    EXPECT_LT(took, 3.5);
}

TEST_P(Query, NonNumericTimeoutIsZero) {
    Service svc(v().dgram, answering({{300, "late"}}));
    testproc::Result r = ask({svc.spec(), "a", "b", "c", "soon"});
    EXPECT_EQ(r.out, "\n");
}

class TcpQuery : public Query {};
INSTANTIATE_TEST_SUITE_P(Tcp, TcpQuery, ::testing::Values(quip, quipwide),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_P(TcpQuery, ShortAnswerThenCloseIsPrintedAtOnce) {
    Service svc(false, answering({{0, "short"}}, End::close));
    double took = 0;
    testproc::Result r = ask({svc.spec(), "a", "b", "c", "10"}, &took);
    EXPECT_EQ(r.out, "short\n");
    EXPECT_LT(took, 2.0);
}

TEST_P(TcpQuery, ResetAfterTheRequestGivesAnEmptyLine) {
    Service svc(false, answering({}, End::reset));
    double took = 0;
    testproc::Result r = ask({svc.spec(), "a", "b", "c", "10"}, &took);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "\n");
    EXPECT_LT(took, 2.0);
}

TEST_P(TcpQuery, ResetBeforeTheRequestNeverKillsTheClient) {
    Script s;
    s.reset_at_once = true;
    Service svc(false, s);
    double took = 0;
    testproc::Result r = ask({svc.spec(), "a", "b", "c", "10"}, &took);
    EXPECT_EQ(r.status, 0); // not SIGPIPE
    EXPECT_EQ(r.out, "\n");
    EXPECT_LT(took, 2.0);
}

TEST_P(TcpQuery, RequestGoesOutOnce) {
    Service svc(false, answering({{0, std::string(v().answer, 'k')}}));
    ask({svc.spec(), "a", "b", "c", "5"});
    svc.join();
    EXPECT_EQ(svc.received.size(), v().request);
    EXPECT_EQ(svc.extra, 0u);
}

class DgramQuery : public Query {};
INSTANTIATE_TEST_SUITE_P(Udp, DgramQuery, ::testing::Values(quipdgram, quipdgramwide),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_P(DgramQuery, LongDatagramIsCutAndItsRestLost) {
    std::string first = std::string(v().answer - 10, 'f') + std::string(30, 'g');
    Service svc(true, answering({{0, first}, {100, "tail"}}));
    double took = 0;
    testproc::Result r = ask({svc.spec(), "a", "b", "c", "2"}, &took);
    EXPECT_EQ(r.out, first.substr(0, v().answer) + "\n");
    EXPECT_LT(took, 1.5);
}

TEST_P(DgramQuery, EmptyDatagramEndsTheAnswer) {
    Service svc(true, answering({{0, "abc"}, {50, ""}}));
    double took = 0;
    testproc::Result r = ask({svc.spec(), "a", "b", "c", "5"}, &took);
    EXPECT_EQ(r.out, "abc\n");
    EXPECT_LT(took, 2.0);
}

// Runs in a network namespace whose host database knows only localhost and the default
// server host, both 127.0.0.1: nothing resolves anywhere else.
TEST(QueryDefaults, DefaultServerHostAndOverlongPortnum) {
    int status = testnet::isolated(testnet::ns_net | testnet::ns_mounts, [] {
        if (!testnet::cover_file("/etc/hosts", "127.0.0.1 localhost quipsrv\n",
                                 "/tmp/quip-hosts-default") ||
            !testnet::cover_file("/etc/nsswitch.conf", "hosts: files\n", "/tmp/quip-nss-default"))
            return testnet::ns_unavailable;
        unlink("/tmp/quip-hosts-default");
        unlink("/tmp/quip-nss-default");
        int failures = 0;
        for (const Variant &v : {quip, quipwide, quipdgram, quipdgramwide}) {
            Script s;
            s.expect = v.request;
            s.sends = {{0, "from quipsrv"}};
            s.end = End::close;
            Service svc(v.dgram, s);
            testproc::Result r = testproc::run(
                {testproc::bin(v.name), std::to_string(svc.port), "a", "b", "c", "1"});
            if (r.out != "from quipsrv\n" || r.status != 0) {
                std::fprintf(stderr, "%s default host: %s\n", v.name, r.out.c_str());
                failures++;
            }
            // A portnum of more than 175 characters is cut: here the host name is.
            std::string spec = std::to_string(svc.port) + "@localhost" + std::string(300, 'x');
            r = testproc::run({testproc::bin(v.name), spec, "a", "b", "c", "1"});
            if (r.out != "\n" || r.status != 0) {
                std::fprintf(stderr, "%s long portnum: %s\n", v.name, r.out.c_str());
                failures++;
            }
        }
        return failures;
    });
    if (status == testnet::ns_unavailable)
        GTEST_SKIP() << "namespaces unavailable";
    EXPECT_EQ(status, 0);
}

// Without a fifth argument the limit is 25 seconds: two silent services, one per
// transport, asked at the same time.
TEST(QuerySlow, DefaultLimitIs25Seconds) {
    Script silent;
    silent.expect = 244;
    silent.hold_ms = 30000;
    Service tcp(false, silent), udp(true, silent);
    testproc::Child a, b;
    testproc::Options o;
    o.timeout_ms = 40000;
    auto t0 = Clock::now();
    ASSERT_TRUE(testproc::spawn(a, {testproc::bin("quip"), tcp.spec(), "a", "b", "c"}, o));
    ASSERT_TRUE(testproc::spawn(b, {testproc::bin("quipdgram"), udp.spec(), "a", "b", "c"}, o));
    testproc::close_input(a);
    testproc::close_input(b);
    std::string out_a = testproc::read_all(a.out, 40000);
    std::string out_b = testproc::read_all(b.out, 40000);
    double took = std::chrono::duration<double>(Clock::now() - t0).count();
    EXPECT_EQ(testproc::wait(a, 5000), 0);
    EXPECT_EQ(testproc::wait(b, 5000), 0);
    testproc::reap(a);
    testproc::reap(b);
    EXPECT_EQ(out_a, "\n");
    EXPECT_EQ(out_b, "\n");
    EXPECT_GE(took, 24.5);
    EXPECT_LT(took, 29.0);
}

} // namespace
