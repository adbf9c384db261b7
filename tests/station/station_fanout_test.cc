// The fan-out scheduler: a child per host, at most N at a time, output passed on with
// the host's name, codes and times per host, and the summary table.
#include "fanout.h"
#include "files.h"
#include "outcome.h"

#include <gtest/gtest.h>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

namespace {

// Shared between the children and the test: how many jobs run now, the most seen, and
// how many the test expects at once (0: none in particular).
struct Gauge {
    std::atomic<int> now{0}, most{0}, expect{0};
};

Gauge *shared_gauge() {
    void *p =
        mmap(nullptr, sizeof(Gauge), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    return new (p) Gauge;
}

// Writes a line to each stream, holds its place for a while (until as many jobs as
// expected have run at once, within 2 s, however slow the machine), and ends with the
// code that the host's name asks for: "okN" 0, "failN" 7, "killN" by SIGKILL.
int job(const char *host, void *arg) {
    auto *g = static_cast<Gauge *>(arg);
    int n = ++g->now;
    int m = g->most.load();
    while (n > m && !g->most.compare_exchange_weak(m, n)) {
    }
    printf("out of %s\n", host);
    fprintf(stderr, "err of %s\npartial", host);
    fflush(stdout);
    usleep(60000);
    for (int waited = 0; g->most.load() < g->expect.load() && waited < 2000; waited += 5)
        usleep(5000);
    --g->now;
    if (strncmp(host, "fail", 4) == 0)
        return 7;
    if (strncmp(host, "kill", 4) == 0)
        raise(SIGKILL);
    return 0;
}

// Runs the fan-out with our standard output and error caught in files.
struct Caught {
    int failed;
    std::string out, err;
};

Caught run(const std::vector<const char *> &hosts, int jobs, Gauge *g,
           std::vector<HostOutcome> &out) {
    fflush(stdout);
    fflush(stderr);
    FILE *fo = tmpfile(), *fe = tmpfile();
    int so = dup(1), se = dup(2);
    dup2(fileno(fo), 1);
    dup2(fileno(fe), 2);
    out.assign(hosts.size(), HostOutcome{});
    int failed = fanout_run(hosts.data(), hosts.size(), jobs, job, g, out.data());
    dup2(so, 1);
    dup2(se, 2);
    close(so);
    close(se);
    Caught c{failed, testfiles::read_stream(fo), testfiles::read_stream(fe)};
    fclose(fo);
    fclose(fe);
    return c;
}

TEST(StationFanout, AtMostNAtATimeAndEveryHostServed) {
    Gauge *g = shared_gauge();
    std::vector<const char *> hosts{"ok1", "ok2", "ok3", "ok4", "ok5", "ok6", "ok7"};
    std::vector<HostOutcome> out;
    g->expect = 3;
    Caught c = run(hosts, 3, g, out);
    EXPECT_EQ(c.failed, 0);
    EXPECT_EQ(g->most.load(), 3);
    for (std::size_t i = 0; i < hosts.size(); i++) {
        EXPECT_EQ(out[i].code, 0) << hosts[i];
        EXPECT_GE(out[i].seconds, 0.05) << hosts[i];
        EXPECT_LT(out[i].seconds, 5.0) << hosts[i];
        std::string h = hosts[i];
        EXPECT_NE(c.out.find(h + ": out of " + h + "\n"), std::string::npos) << c.out;
        EXPECT_NE(c.err.find(h + ": err of " + h + "\n"), std::string::npos) << c.err;
        // A last line without its newline is passed on completed.
        EXPECT_NE(c.err.find(h + ": partial\n"), std::string::npos) << c.err;
    }
    g->most = 0;
    g->expect = 1;
    run(hosts, 1, g, out);
    EXPECT_EQ(g->most.load(), 1);
    g->most = 0;
    g->expect = 7;
    run(hosts, 64, g, out);
    EXPECT_EQ(g->most.load(), 7);
    munmap(g, sizeof *g);
}

TEST(StationFanout, FailuresAndSignalsAreCountedPerHost) {
    Gauge *g = shared_gauge();
    std::vector<const char *> hosts{"ok", "fail", "kill", "ok2"};
    std::vector<HostOutcome> out;
    Caught c = run(hosts, 2, g, out);
    EXPECT_EQ(c.failed, 2);
    EXPECT_EQ(out[0].code, 0);
    EXPECT_EQ(out[1].code, 7);
    EXPECT_EQ(out[2].code, 128 + SIGKILL);
    EXPECT_EQ(out[3].code, 0);
    munmap(g, sizeof *g);
}

TEST(StationFanout, TableShowsHostCodeMeaningAndSeconds) {
    const char *hosts[] = {"a", "longer-host"};
    HostOutcome out[] = {{0, 0.25}, {69, 15.0}};
    FILE *f = tmpfile();
    fanout_table(f, hosts, 2, out, outcome_meaning);
    std::string t = testfiles::read_stream(f);
    fclose(f);
    EXPECT_EQ(t, "HOST         STATUS  MEANING                  SECONDS\n"
                 "a                 0  success                     0.25\n"
                 "longer-host      69  the host did not answer    15.00\n");
}

} // namespace
