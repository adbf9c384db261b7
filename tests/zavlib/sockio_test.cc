// timed_send and timed_recv against real peers on 127.0.0.1, over TCP and UDP.
#include "files.h"
#include "testnet.h"
#include "zavlib.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <csignal>
#include <ctime>
#include <fstream>
#include <pthread.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <thread>

namespace {

using testfiles::read_file;

using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

void pause_ms(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// A connected TCP pair on 127.0.0.1: client is what the library reads and writes,
// server is the test's peer.
struct TcpPair {
    int client = -1, server = -1;
    TcpPair() {
        int port = 0;
        int lfd = testnet::listen_tcp(&port);
        client = testnet::connect_tcp(port);
        server = accept4(lfd, nullptr, nullptr, SOCK_CLOEXEC);
        close(lfd);
    }
    ~TcpPair() {
        if (client >= 0)
            close(client);
        if (server >= 0)
            close(server);
    }
};

// A connected UDP pair on 127.0.0.1.
struct UdpPair {
    int client = -1, server = -1;
    UdpPair() {
        int sport = 0, cport = 0;
        server = testnet::bind_udp(&sport);
        client = testnet::bind_udp(&cport);
        sockaddr_in to = testnet::loopback(sport), back = testnet::loopback(cport);
        connect(client, reinterpret_cast<sockaddr *>(&to), sizeof to);
        connect(server, reinterpret_cast<sockaddr *>(&back), sizeof back);
    }
    ~UdpPair() {
        close(client);
        close(server);
    }
};

void send_text(int fd, const std::string &s) {
    ASSERT_EQ(send(fd, s.data(), s.size(), MSG_NOSIGNAL), static_cast<ssize_t>(s.size()));
}

// An 80-byte answer buffer with a guard behind it that must stay untouched.
struct Answer {
    std::array<char, 80 + 16> bytes;
    Answer() { bytes.fill('#'); }
    std::string got(std::size_t n) const { return std::string(bytes.data(), n); }
    bool guard_intact() const {
        for (std::size_t i = 80; i < bytes.size(); i++)
            if (bytes[i] != '#')
                return false;
        return true;
    }
};

const std::string eighty = std::string(40, 'a') + std::string(40, 'b');

TEST(TimedRecvTcp, AnswerInPiecesIsGathered) {
    TcpPair p;
    std::thread peer([&] {
        send_text(p.server, eighty.substr(0, 30));
        pause_ms(200);
        send_text(p.server, eighty.substr(30, 30));
        pause_ms(200);
        send_text(p.server, eighty.substr(60));
    });
    Answer a;
    auto t0 = Clock::now();
    EXPECT_EQ(timed_recv(p.client, a.bytes.data(), 80, 5), 0);
    EXPECT_LT(seconds_since(t0), 2.0);
    peer.join();
    EXPECT_EQ(a.got(80), eighty);
    EXPECT_TRUE(a.guard_intact());
}

TEST(TimedRecvTcp, TooMuchIsNeverWrittenPastTheLength) {
    TcpPair p;
    send_text(p.server, std::string(500, 'x'));
    Answer a;
    EXPECT_EQ(timed_recv(p.client, a.bytes.data(), 80, 2), 0);
    EXPECT_EQ(a.got(80), std::string(80, 'x'));
    EXPECT_TRUE(a.guard_intact());
}

TEST(TimedRecvTcp, ShortAnswerAndCloseEndsAtOnce) {
    TcpPair p;
    send_text(p.server, "short");
    close(p.server);
    p.server = -1;
    Answer a;
    auto t0 = Clock::now();
    EXPECT_EQ(timed_recv(p.client, a.bytes.data(), 80, 5), -4);
    EXPECT_LT(seconds_since(t0), 1.0);
    EXPECT_EQ(a.got(5), "short");
}

TEST(TimedRecvTcp, CloseBeforeAnythingGivesMinus4) {
    TcpPair p;
    close(p.server);
    p.server = -1;
    Answer a;
    EXPECT_EQ(timed_recv(p.client, a.bytes.data(), 80, 5), -4);
}

TEST(TimedRecvTcp, ShortAnswerKeptOpenWaitsForTheLimit) {
    TcpPair p;
    send_text(p.server, "part");
    Answer a;
    auto t0 = Clock::now();
    EXPECT_EQ(timed_recv(p.client, a.bytes.data(), 80, 1), -2);
    double took = seconds_since(t0);
    EXPECT_GE(took, 0.5);
    EXPECT_LT(took, 2.5);
    EXPECT_EQ(a.got(4), "part");
}

TEST(TimedRecvTcp, SilenceRunsOutAfterTheLimit) {
    TcpPair p;
    Answer a;
    auto t0 = Clock::now();
    EXPECT_EQ(timed_recv(p.client, a.bytes.data(), 80, 1), -2);
    double took = seconds_since(t0);
    EXPECT_GE(took, 0.9);
    EXPECT_LT(took, 2.0);
}

TEST(TimedRecvTcp, ResetByPeerIsAReadError) {
    TcpPair p;
    testnet::reset_close(p.server);
    p.server = -1;
    Answer a;
    EXPECT_EQ(timed_recv(p.client, a.bytes.data(), 80, 2), -1);
    EXPECT_EQ(errno, ECONNRESET);
    EXPECT_TRUE(a.guard_intact());
}

TEST(TimedRecvTcp, ZeroLimitLooksOnce) {
    TcpPair p;
    Answer a;
    auto t0 = Clock::now();
    EXPECT_EQ(timed_recv(p.client, a.bytes.data(), 80, 0), -2);
    EXPECT_LT(seconds_since(t0), 0.5);
    send_text(p.server, eighty);
    pause_ms(50);
    EXPECT_EQ(timed_recv(p.client, a.bytes.data(), 80, 0), 0);
    EXPECT_EQ(a.got(80), eighty);
}

TEST(TimedRecvTcp, ZeroLimitWithAPieceWaitingGivesMinus2) {
    TcpPair p;
    send_text(p.server, "half");
    pause_ms(50);
    Answer a;
    EXPECT_EQ(timed_recv(p.client, a.bytes.data(), 80, 0), -2);
    EXPECT_EQ(a.got(4), "half");
}

TEST(TimedRecvTcp, NegativeLimitFailsTheWait) {
    TcpPair p;
    send_text(p.server, eighty);
    Answer a;
    EXPECT_EQ(timed_recv(p.client, a.bytes.data(), 80, -1), -3);
    EXPECT_EQ(errno, EINVAL);
}

TEST(TimedRecvTcp, DescriptorOutsideTheSelectSetIsRefused) {
    TcpPair p;
    send_text(p.server, eighty);
    rlimit old{};
    getrlimit(RLIMIT_NOFILE, &old);
    rlimit raised = old;
    if (raised.rlim_cur < 2048) {
        raised.rlim_cur = std::min<rlim_t>(2048, raised.rlim_max);
        setrlimit(RLIMIT_NOFILE, &raised);
    }
    int high = fcntl(p.client, F_DUPFD_CLOEXEC, FD_SETSIZE);
    if (high < 0)
        GTEST_SKIP() << "cannot open a descriptor at or above FD_SETSIZE";
    Answer a;
    EXPECT_EQ(timed_recv(high, a.bytes.data(), 80, 1), -3);
    EXPECT_EQ(errno, EBADF);
    EXPECT_EQ(a.bytes[0], '#');
    close(high);
    setrlimit(RLIMIT_NOFILE, &old);
    EXPECT_EQ(timed_recv(-1, a.bytes.data(), 80, 1), -3);
}

TEST(TimedRecvTcp, ZeroLengthIsCompleteAtOnce) {
    TcpPair p;
    Answer a;
    EXPECT_EQ(timed_recv(p.client, a.bytes.data(), 0, 5), 0);
    EXPECT_EQ(a.bytes[0], '#');
}

TEST(TimedRecvUdp, DatagramsAreGatheredUpToTheLength) {
    UdpPair p;
    std::thread peer([&] {
        send_text(p.server, eighty.substr(0, 40));
        pause_ms(150);
        send_text(p.server, eighty.substr(40));
    });
    Answer a;
    EXPECT_EQ(timed_recv(p.client, a.bytes.data(), 80, 3), 0);
    peer.join();
    EXPECT_EQ(a.got(80), eighty);
}

TEST(TimedRecvUdp, LongDatagramIsCutAndItsRestLost) {
    UdpPair p;
    send_text(p.server, std::string(100, 'L'));
    send_text(p.server, "next");
    Answer a;
    EXPECT_EQ(timed_recv(p.client, a.bytes.data(), 80, 2), 0);
    EXPECT_EQ(a.got(80), std::string(80, 'L'));
    EXPECT_TRUE(a.guard_intact());
    // The next read starts with the next datagram, not with the 20 bytes cut off.
    EXPECT_EQ(timed_recv(p.client, a.bytes.data(), 4, 2), 0);
    EXPECT_EQ(a.got(4), "next");
}

TEST(TimedRecvUdp, ShortDatagramWaitsForTheLimit) {
    UdpPair p;
    send_text(p.server, "only this");
    Answer a;
    auto t0 = Clock::now();
    EXPECT_EQ(timed_recv(p.client, a.bytes.data(), 80, 1), -2);
    EXPECT_GE(seconds_since(t0), 0.5);
    EXPECT_EQ(a.got(9), "only this");
}

TEST(TimedRecvUdp, EmptyDatagramEndsLikeAClose) {
    UdpPair p;
    ASSERT_EQ(send(p.server, "", 0, 0), 0);
    Answer a;
    EXPECT_EQ(timed_recv(p.client, a.bytes.data(), 80, 2), -4);
}

TEST(TimedSend, WholeBufferGoesOut) {
    TcpPair p;
    std::string big(200000, 'q');
    std::string got;
    std::thread peer([&] {
        char buf[8192];
        while (got.size() < big.size()) {
            ssize_t n = read(p.server, buf, sizeof buf);
            if (n <= 0)
                break;
            got.append(buf, static_cast<std::size_t>(n));
        }
    });
    EXPECT_EQ(timed_send(p.client, big.data(), static_cast<int>(big.size()), 5), 0);
    peer.join();
    EXPECT_EQ(got, big);
}

TEST(TimedSend, UdpDatagramGoesOutWhole) {
    UdpPair p;
    std::string req(244, 'r');
    EXPECT_EQ(timed_send(p.client, req.data(), 244, 5), 0);
    char buf[512];
    EXPECT_EQ(recv(p.server, buf, sizeof buf, 0), 244);
}

// A reset peer makes the write fail; the process must not die of SIGPIPE.
TEST(TimedSend, ResetPeerGivesMinus1WithoutSigpipe) {
    TcpPair p;
    testnet::reset_close(p.server);
    p.server = -1;
    pause_ms(50);
    std::string req(244, 'r');
    int rc = 0;
    for (int i = 0; i < 5 && rc == 0; i++)
        rc = timed_send(p.client, req.data(), 244, 5);
    EXPECT_EQ(rc, -1);
    EXPECT_TRUE(errno == EPIPE || errno == ECONNRESET) << errno;
}

TEST(TimedSend, ToAPipeFallsBackToWrite) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    EXPECT_EQ(timed_send(fds[1], "abc", 3, 5), 0);
    char buf[3];
    EXPECT_EQ(read(fds[0], buf, 3), 3);
    close(fds[0]);
    close(fds[1]);
}

// ---- Interruptions ----------------------------------------------------------------

void on_signal(int) {}

// SIGUSR1 without SA_RESTART: a blocked call ends with EINTR.
struct InterruptingSignal {
    struct sigaction old {};
    InterruptingSignal() {
        struct sigaction sa {};
        sa.sa_handler = on_signal;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGUSR1, &sa, &old);
    }
    ~InterruptingSignal() { sigaction(SIGUSR1, &old, nullptr); }
};

std::string todays_log(const std::string &dir) {
    time_t now = time(nullptr);
    struct tm t {};
    localtime_r(&now, &t);
    char name[32];
    std::snprintf(name, sizeof name, "/errlog%02d%02d", t.tm_mon + 1, t.tm_mday);
    return dir + name;
}

int count_of(const std::string &text, const std::string &what) {
    int n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        n++;
    return n;
}

// The write blocks on a full socket; two signals interrupt it, each interruption is
// logged under "LCL" and the write repeated; once the peer reads, all bytes go out and
// the result is 0. errno still reads EINTR afterwards, which is why callers must look
// at the result, not at errno, to decide whether to repeat.
TEST(TimedSend, InterruptedWriteIsLoggedAndRepeated) {
    char tmpl[] = "/tmp/zavlib-sockio-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string dir = tmpl;
    std::snprintf(errlog_dir, sizeof errlog_dir, "%s", dir.c_str());

    TcpPair p;
    int small = 4096;
    setsockopt(p.client, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(p.server, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    // Fill both buffers so that the next write blocks before moving a byte.
    int flags = fcntl(p.client, F_GETFL);
    fcntl(p.client, F_SETFL, flags | O_NONBLOCK);
    std::string filler(65536, 'f');
    std::size_t queued = 0;
    for (;;) {
        ssize_t n = send(p.client, filler.data(), filler.size(), MSG_NOSIGNAL);
        if (n < 0)
            break;
        queued += static_cast<std::size_t>(n);
    }
    fcntl(p.client, F_SETFL, flags);

    InterruptingSignal sig;
    pthread_t self = pthread_self();
    std::size_t drained = 0;
    std::thread peer([&] {
        pause_ms(200);
        pthread_kill(self, SIGUSR1);
        pause_ms(200);
        pthread_kill(self, SIGUSR1);
        pause_ms(200);
        char buf[8192];
        while (drained < queued + 300) {
            ssize_t n = read(p.server, buf, sizeof buf);
            if (n <= 0)
                break;
            drained += static_cast<std::size_t>(n);
        }
    });
    std::string payload(300, 'p');
    EXPECT_EQ(timed_send(p.client, payload.data(), 300, 10), 0);
    EXPECT_EQ(errno, EINTR);
    peer.join();
    EXPECT_EQ(drained, queued + 300);

    std::string log = read_file(todays_log(dir));
    std::string line =
        " : MCL Send:  Interruptted errno=(4) pid(" + std::to_string(getpid()) + ")\n";
    EXPECT_EQ(count_of(log, line), 2) << log;
    std::string cmd = "rm -rf '" + dir + "'";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
}

// A signal during the readiness wait: the wait goes on for the time left, the answer is
// gathered, the result is 0 and errno is left at EINTR.
TEST(TimedRecvTcp, InterruptedWaitGoesOn) {
    TcpPair p;
    InterruptingSignal sig;
    pthread_t self = pthread_self();
    std::thread peer([&] {
        pause_ms(150);
        pthread_kill(self, SIGUSR1);
        pause_ms(150);
        send_text(p.server, eighty);
    });
    Answer a;
    auto t0 = Clock::now();
    EXPECT_EQ(timed_recv(p.client, a.bytes.data(), 80, 5), 0);
    EXPECT_EQ(errno, EINTR);
    EXPECT_LT(seconds_since(t0), 2.0);
    peer.join();
    EXPECT_EQ(a.got(80), eighty);
}

TEST(TimedRecvTcp, InterruptionsDoNotStretchTheLimit) {
    TcpPair p;
    InterruptingSignal sig;
    pthread_t self = pthread_self();
    std::thread peer([&] {
        for (int i = 0; i < 5; i++) {
            pause_ms(250);
            pthread_kill(self, SIGUSR1);
        }
    });
    Answer a;
    auto t0 = Clock::now();
    EXPECT_EQ(timed_recv(p.client, a.bytes.data(), 80, 1), -2);
    EXPECT_LT(seconds_since(t0), 1.6);
    peer.join();
}

} // namespace
