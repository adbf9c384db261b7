// Running the real tarko_remote2 over pipes for black-box tests: the test holds the
// agent's standard input, output and error, and speaks to it through the station client.
#pragma once

#include "client.h"
#include "proc.h"
#include "replies.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

struct RunningAgent {
    testproc::Child child;
    station::Agent agent;

    // Starts the agent (optionally under a wrapper command line that ends with it).
    explicit RunningAgent(std::vector<std::string> argv = {}) {
        argv.push_back(testproc::bin("tarko_remote2"));
        EXPECT_TRUE(testproc::spawn(child, argv));
        station::agent_attach(agent, child.in, child.out);
        agent.timeout_ms = 10000;
    }
    ~RunningAgent() { testproc::reap(child); }

    // Closes the agent's standard input.
    void close_input() {
        testproc::close_input(child);
        agent.to = -1;
    }
    // Exit status within the limit (-1 when it had to be killed).
    int wait(int ms = 10000) { return testproc::wait(child, ms); }
    // Everything on standard error until it closes (call after the agent has ended).
    std::string err(int ms = 2000) { return testproc::read_all(child.err, ms); }
    // Exactly n bytes of output (fewer on end or time-out).
    std::string out(size_t n, int ms = 5000) {
        std::string got;
        got.resize(n);
        station::ClientError e = station::read_exact(agent, got.data(), n, ms);
        return e == station::ClientError::None ? got : std::string();
    }
    bool send(const std::string &bytes) {
        return station::send_raw(agent, bytes) == station::ClientError::None;
    }
};

// The bytes of a response.
inline std::string response(std::int32_t seq, Status st) {
    std::string f;
    station::put_byte(f, 'R');
    station::put_long(f, seq);
    station::put_short(f, static_cast<std::int16_t>(st));
    return f;
}

// A fresh directory under /tmp, removed with its contents at the end of the test.
struct TempDir {
    std::string path;
    TempDir() {
        char tmpl[] = "/tmp/tarkotest.XXXXXX";
        path = mkdtemp(tmpl);
    }
    ~TempDir() {
        std::string cmd = "rm -rf '" + path + "'";
        if (std::system(cmd.c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << path;
    }
    std::string operator/(const std::string &name) const { return path + "/" + name; }
};
