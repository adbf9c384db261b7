// quip_bench: wall time of one query by each client against a local service, next to
// the wall time of `date +%Y%m%d` plus one network round trip, measured in one run.
//
//   quip_bench [runs] [bindir]
//
// Prints, per client, the mean time of a run and its ratio to the reference; a ratio
// of 1.0 or less means the client is as fast as the goal asks.
#include <arpa/inet.h>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

extern char **environ;

namespace {

using Clock = std::chrono::steady_clock;

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int port_of(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr *>(&a), &len);
    return ntohs(a.sin_port);
}

// Answers every request of 244 or 420 bytes at once with a full-size answer.
void tcp_service(int lfd, int request, int answer) {
    std::vector<char> buf(4096), reply(static_cast<std::size_t>(answer), 'a');
    for (;;) {
        int c = accept(lfd, nullptr, nullptr);
        if (c < 0)
            return;
        int got = 0;
        while (got < request) {
            ssize_t n = read(c, buf.data(), buf.size());
            if (n <= 0)
                break;
            got += static_cast<int>(n);
        }
        send(c, reply.data(), reply.size(), MSG_NOSIGNAL);
        close(c);
    }
}

void udp_service(int fd, int answer) {
    std::vector<char> buf(4096), reply(static_cast<std::size_t>(answer), 'a');
    for (;;) {
        sockaddr_in from{};
        socklen_t len = sizeof from;
        if (recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr *>(&from), &len) < 0)
            return;
        sendto(fd, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr *>(&from), len);
    }
}

// Runs argv with output to /dev/null; returns the wall time in seconds.
double run_once(const std::vector<std::string> &args) {
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(const_cast<char *>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    auto t0 = Clock::now();
    pid_t pid;
    if (posix_spawnp(&pid, argv[0], &fa, nullptr, argv.data(), environ) != 0) {
        std::fprintf(stderr, "cannot run %s\n", argv[0]);
        std::exit(1);
    }
    int status;
    waitpid(pid, &status, 0);
    double t = std::chrono::duration<double>(Clock::now() - t0).count();
    posix_spawn_file_actions_destroy(&fa);
    return t;
}

// One TCP connect, request and answer from this process: the network round trip.
double round_trip(int port) {
    auto t0 = Clock::now();
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(port);
    connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    char req[244] = {2}, ans[80];
    send(fd, req, sizeof req, MSG_NOSIGNAL);
    int got = 0;
    while (got < 80) {
        ssize_t n = read(fd, ans + got, sizeof ans - got);
        if (n <= 0)
            break;
        got += static_cast<int>(n);
    }
    close(fd);
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

} // namespace

int main(int argc, char **argv) {
    int runs = argc > 1 ? std::atoi(argv[1]) : 200;
    std::string bindir = argc > 2 ? argv[2] : BIN_DIR;
    if (runs < 1)
        runs = 1;

    struct Service {
        const char *client;
        int request, answer;
        bool dgram;
        int port;
    };
    std::vector<Service> services = {
        {"quip", 244, 80, false, 0},
        {"quipwide", 420, 256, false, 0},
        {"quipdgram", 244, 80, true, 0},
        {"quipdgramwide", 420, 256, true, 0},
    };
    for (auto &s : services) {
        int fd = socket(AF_INET, s.dgram ? SOCK_DGRAM : SOCK_STREAM, 0);
        sockaddr_in a = loopback(0);
        bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
        if (!s.dgram)
            listen(fd, 64);
        s.port = port_of(fd);
        if (s.dgram)
            std::thread(udp_service, fd, s.answer).detach();
        else
            std::thread(tcp_service, fd, s.request, s.answer).detach();
    }

    // Interleaved, so that both sides see the same machine load.
    double date_total = 0, rtt_total = 0;
    std::vector<double> client_total(services.size(), 0.0);
    for (int i = 0; i < runs; i++) {
        date_total += run_once({"date", "+%Y%m%d"});
        rtt_total += round_trip(services[0].port);
        for (std::size_t k = 0; k < services.size(); k++) {
            auto &s = services[k];
            client_total[k] +=
                run_once({bindir + "/" + s.client, std::to_string(s.port) + "@127.0.0.1", "str1",
                          "str2", "str3", "5"});
        }
    }
    double date_mean = date_total / runs, rtt_mean = rtt_total / runs;
    double reference = date_mean + rtt_mean;
    std::printf("runs %d\n", runs);
    std::printf("date +%%Y%%m%%d     %8.1f us\n", date_mean * 1e6);
    std::printf("round trip         %8.1f us\n", rtt_mean * 1e6);
    std::printf("reference          %8.1f us\n", reference * 1e6);
    bool ok = true;
    for (std::size_t k = 0; k < services.size(); k++) {
        double mean = client_total[k] / runs;
        double ratio = mean / reference;
        ok = ok && ratio <= 1.0;
        std::printf("%-18s %8.1f us  ratio %.2f\n", services[k].client, mean * 1e6, ratio);
    }
    std::printf("%s\n", ok ? "goal met: every client within the reference" : "goal missed");
    return 0;
}
