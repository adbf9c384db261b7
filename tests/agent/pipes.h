// Pipes for the tests of the agent's streams and wire primitives: a Stream read from a
// pipe that the test feeds, and a Stream written to a pipe that the test drains.
#pragma once

#include "stream.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <initializer_list>
#include <string>
#include <unistd.h>

// A pipe whose read end is a Stream; bytes are fed through the write end.
struct Feed {
    int fds[2] = {-1, -1};
    Stream s;
    explicit Feed(const std::string &bytes = {}, bool close_after = true) {
        EXPECT_EQ(pipe(fds), 0);
        stream_open(s, fds[0]);
        feed(bytes);
        if (close_after)
            end();
    }
    ~Feed() {
        end();
        close(fds[0]);
    }
    void feed(const std::string &b) {
        if (!b.empty()) {
            EXPECT_EQ(write(fds[1], b.data(), b.size()), static_cast<ssize_t>(b.size()));
        }
    }
    void end() {
        if (fds[1] >= 0)
            close(fds[1]);
        fds[1] = -1;
    }
};

// A pipe whose write end is a Stream; drain() returns what was written.
struct Sink {
    int fds[2] = {-1, -1};
    Stream s;
    Sink() {
        EXPECT_EQ(pipe(fds), 0);
        fcntl(fds[0], F_SETFL, O_NONBLOCK);
        stream_open(s, fds[1]);
    }
    ~Sink() {
        close(fds[0]);
        close(fds[1]);
    }
    std::string drain() {
        std::string out;
        char b[4096];
        ssize_t k;
        while ((k = read(fds[0], b, sizeof b)) > 0)
            out.append(b, static_cast<size_t>(k));
        return out;
    }
};

inline std::string bytes(std::initializer_list<int> v) {
    std::string s;
    for (int b : v)
        s.push_back(static_cast<char>(b));
    return s;
}
