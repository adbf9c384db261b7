// Shared pieces of the relay tests: an agent serving the station on host "a" of a
// simulated site, and the fake far agent (build/bin/fake_remote) that other hosts can
// get in place of the real one.
#pragma once

#include "client.h"
#include "files.h"
#include "proc.h"
#include "replies.h"
#include "site.h"

#include <chrono>
#include <cstdlib>
#include <dirent.h>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace relaytest {

// Hex dump "41 00 ..." of bytes, for readable comparisons.
inline std::string hex(const std::string &s) {
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : s) {
        if (!out.empty())
            out += ' ';
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

using testproc::wait_until;

// Process ids (as this machine sees them) whose parent is pid.
inline std::vector<pid_t> children_of(pid_t pid) {
    std::vector<pid_t> out;
    DIR *d = opendir("/proc");
    if (!d)
        return out;
    while (dirent *e = readdir(d)) {
        char *end;
        long p = std::strtol(e->d_name, &end, 10);
        if (*end || p <= 0)
            continue;
        std::string stat = testfiles::read_file("/proc/" + std::string(e->d_name) + "/stat");
        auto close_paren = stat.rfind(')');
        if (close_paren == std::string::npos)
            continue;
        // After the command: state, then the parent's id.
        std::istringstream rest(stat.substr(close_paren + 1));
        std::string state;
        long ppid = 0;
        rest >> state >> ppid;
        if (ppid == pid)
            out.push_back(static_cast<pid_t>(p));
    }
    closedir(d);
    return out;
}

inline int open_fds(pid_t pid) {
    int n = 0;
    DIR *d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d)
        return -1;
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            n++;
    closedir(d);
    return n;
}

constexpr const char *AGENT = "/usr/local/bin/tarko_remote2";

// A site whose host "a" runs the agent under test for the station, over pipes.
struct Station {
    testsite::Site site;
    testproc::Child child;
    station::Agent agent;
    pid_t agent_pid = 0; // the agent on host a

    // Starts the agent on host a (through argv when given) and says hello to it.
    ::testing::AssertionResult start(std::vector<std::string> argv = {AGENT}) {
        if (!site.spawn("a", argv, child))
            return ::testing::AssertionFailure() << "cannot start the agent on a";
        station::agent_attach(agent, child.in, child.out);
        child.in = child.out = -1; // the Agent owns them now
        agent.timeout_ms = 30000;
        if (station::Reply r = station::hello(agent); !r.ok())
            return ::testing::AssertionFailure() << "hello: " << ::testing::PrintToString(r);
        agent_pid = site.find_process("a", AGENT);
        if (agent_pid == 0)
            return ::testing::AssertionFailure() << "agent process not found";
        return ::testing::AssertionSuccess();
    }

    // Ends the agent by closing its input; returns its exit status.
    int stop() {
        station::agent_close(agent);
        int st = testproc::wait(child, 10000);
        return st;
    }

    std::string errors() { return child.err >= 0 ? testproc::read_all(child.err, 2000) : ""; }

    ~Station() { testproc::reap(child); }

    // Gives host the fake far agent with this script (see fake_remote.cc); a script
    // with "proxy /fake_remote/agent" finds a copy of the real agent there.
    bool fake(const std::string &host, const std::string &script) {
        return site.install(host, testproc::bin("fake_remote"), AGENT) &&
               site.install(host, testproc::bin("tarko_remote2"), "/fake_remote/agent") &&
               site.write_file(host, "/fake_remote/mode", script + "\n");
    }
    std::string received(const std::string &host) {
        return site.read_file(host, "/fake_remote/received");
    }
    std::string events(const std::string &host) {
        return site.read_file(host, "/fake_remote/events");
    }
    int starts(const std::string &host) {
        std::istringstream in(events(host));
        int n = 0;
        for (std::string line; std::getline(in, line);)
            n += line == "start";
        return n;
    }
    bool ended(const std::string &host) {
        return wait_until([&] { return events(host).find("end\n") != std::string::npos; });
    }
    std::vector<pid_t> children() { return children_of(agent_pid); }
    int fds() { return open_fds(agent_pid); }
};

// The bytes of one request of the relay: header, directory and name.
inline std::string request(std::int32_t seq, Op op, const std::string &dir,
                           const std::string &name) {
    std::string f = station::request_header(seq, op);
    station::put_string(f, dir);
    station::put_string(f, name);
    return f;
}

// The hello request, to start the expected bytes of a new connection.
inline std::string hello_byte() {
    std::string h;
    h.reserve(4096);
    h += 'H';
    return h;
}

inline std::string data_phase(const std::string &data, std::uint32_t cksum) {
    std::string f;
    station::put_long(f, static_cast<std::int32_t>(data.size()));
    f += data;
    station::put_long(f, static_cast<std::int32_t>(cksum));
    return f;
}

} // namespace relaytest
