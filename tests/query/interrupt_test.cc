// A query interrupted by signals. The library repeats interrupted calls itself and may
// leave errno at EINTR after succeeding; the query must neither send its request a
// second time nor throw away an answer already gathered. quip's main module runs here
// in the test process (its main renamed quip_main) so that the test can interrupt it
// with a handler installed without SA_RESTART.
#include "service.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <unistd.h>

int quip_main(int argc, char **argv);

namespace {

void on_signal(int) {}

struct Captured {
    std::string out;
    int status = -1;
};

// Runs quip_main with args, its standard output going to a file that is read back.
Captured run_quip(std::vector<std::string> args) {
    args.insert(args.begin(), "quip");
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    char tmpl[] = "/tmp/quip-out-XXXXXX";
    int fd = mkstemp(tmpl);
    std::fflush(stdout);
    int saved = dup(1);
    dup2(fd, 1);
    Captured c;
    c.status = quip_main(static_cast<int>(args.size()), argv.data());
    std::fflush(stdout);
    dup2(saved, 1);
    close(saved);
    char buf[512];
    lseek(fd, 0, SEEK_SET);
    ssize_t n;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        c.out.append(buf, static_cast<std::size_t>(n));
    close(fd);
    unlink(tmpl);
    return c;
}

TEST(QueryInterrupted, SignalsDuringTheWaitKeepTheAnswer) {
    struct sigaction sa {
    }, old{};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR1, &sa, &old);

    std::string answer(80, 'r');
    testservice::Script s;
    s.expect = 244;
    s.sends = {{600, answer}};
    s.hold_ms = 6000;
    testservice::Service svc(false, s);

    // Three signals while quip waits for the answer, which comes after them.
    pthread_t client = pthread_self();
    std::thread nudger([client] {
        for (int i = 0; i < 3; i++) {
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
            pthread_kill(client, SIGUSR1);
        }
    });
    auto t0 = std::chrono::steady_clock::now();
    Captured c = run_quip({svc.spec(), "a", "b", "c", "4"});
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    nudger.join();
    svc.join();
    sigaction(SIGUSR1, &old, nullptr);

    EXPECT_EQ(c.status, 0);
    EXPECT_EQ(c.out, answer + "\n");
    // Printed when it came, not after a second wait of the whole limit.
    EXPECT_LT(took, 2.5);
    // One request, sent once.
    EXPECT_EQ(svc.received.size(), 244u);
    EXPECT_EQ(svc.extra, 0u);
}

} // namespace
