// Test services for the query clients: one question, one scripted answer, over TCP or
// UDP on 127.0.0.1, run on a thread of the test.
#pragma once

#include "../zavlib/testnet.h"

#include <chrono>
#include <poll.h>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace testservice {

enum class End {
    close, // orderly close after the answer
    reset, // close with a reset after the answer
    hold,  // keep the connection until the client goes, up to hold_ms
};

struct Script {
    std::size_t expect = 0;                         // request bytes to read before answering
    std::vector<std::pair<int, std::string>> sends; // (pause in ms, bytes) after the request
    End end = End::hold;
    int hold_ms = 8000;
    bool reset_at_once = false; // TCP: reset the connection before reading anything
};

// Waits up to ms for fd to become readable.
inline bool readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) > 0;
}

class Service {
  public:
    std::string received;  // the request bytes as they came
    std::size_t extra = 0; // TCP: bytes that came after the request (a second request)
    int port = 0;

    Service(bool dgram, Script script) : dgram_(dgram), script_(std::move(script)) {
        fd_ = dgram ? testnet::bind_udp(&port) : testnet::listen_tcp(&port);
        thread_ = std::thread([this] { dgram_ ? serve_udp() : serve_tcp(); });
    }
    ~Service() { join(); }
    void join() {
        if (thread_.joinable())
            thread_.join();
        if (fd_ >= 0)
            close(fd_);
        fd_ = -1;
    }
    std::string spec() const { return std::to_string(port) + "@127.0.0.1"; }

  private:
    bool dgram_;
    Script script_;
    int fd_ = -1;
    std::thread thread_;

    static void pause(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

    void serve_tcp() {
        if (!readable(fd_, 10000))
            return;
        int c = accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0)
            return;
        if (script_.reset_at_once) {
            testnet::reset_close(c);
            return;
        }
        char buf[4096];
        while (received.size() < script_.expect && readable(c, 5000)) {
            ssize_t n = read(c, buf, std::min(sizeof buf, script_.expect - received.size()));
            if (n <= 0)
                break;
            received.append(buf, static_cast<std::size_t>(n));
        }
        for (auto &[ms, bytes] : script_.sends) {
            pause(ms);
            if (send(c, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0)
                break;
        }
        if (script_.end == End::reset) {
            testnet::reset_close(c);
            return;
        }
        if (script_.end == End::hold) {
            auto until =
                std::chrono::steady_clock::now() + std::chrono::milliseconds(script_.hold_ms);
            while (std::chrono::steady_clock::now() < until) {
                if (readable(c, 100)) {
                    ssize_t n = read(c, buf, sizeof buf);
                    if (n <= 0)
                        break;
                    extra += static_cast<std::size_t>(n);
                }
            }
        }
        close(c);
    }

    void serve_udp() {
        if (!readable(fd_, 10000))
            return;
        char buf[4096];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
        if (n < 0)
            return;
        received.assign(buf, static_cast<std::size_t>(n));
        for (auto &[ms, bytes] : script_.sends) {
            pause(ms);
            sendto(fd_, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&from), len);
        }
    }
};

} // namespace testservice
