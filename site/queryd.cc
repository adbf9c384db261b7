// audium_queryd: the query port of a simulated host's Audium stand-in.
//
//   audium_queryd PORT SCRIPT
//
// Takes TCP connections on PORT of every address of the host; each brings one short
// query record (244 bytes: the type, then three 80-byte texts, as quip sends it) and
// gets an 80-byte answer: the first line SCRIPT prints when run with the three texts,
// zero-filled. Each connection is served by a process of its own, within 10 seconds.
#include "fdio.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <netinet/in.h>
#include <string>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr std::size_t REQUEST_SIZE = 244, ANSWER_SIZE = 80, FIELD = 80;
constexpr std::size_t STR1 = 4, STR2 = 84, STR3 = 164;

std::string text_at(const unsigned char *request, std::size_t offset) {
    const char *p = reinterpret_cast<const char *>(request + offset);
    return std::string(p, strnlen(p, FIELD));
}

// The first line the script prints for the three texts.
std::string ask_script(const char *script, const std::string &a, const std::string &b,
                       const std::string &c) {
    int out[2];
    if (pipe(out) < 0)
        return "";
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        close(out[1]);
        execl("/bin/sh", "sh", script, a.c_str(), b.c_str(), c.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    char buf[512];
    std::size_t n = pid > 0 ? read_full(out[0], buf, sizeof buf) : 0;
    close(out[0]);
    if (pid > 0)
        waitpid(pid, nullptr, 0);
    std::string line(buf, n);
    return line.substr(0, line.find('\n'));
}

void serve(int fd, const char *script) {
    alarm(10);
    unsigned char request[REQUEST_SIZE] = {};
    if (read_full(fd, request, sizeof request) != sizeof request)
        return;
    std::string said =
        ask_script(script, text_at(request, STR1), text_at(request, STR2), text_at(request, STR3));
    char answer[ANSWER_SIZE] = {};
    memcpy(answer, said.data(), said.size() < ANSWER_SIZE ? said.size() : ANSWER_SIZE);
    write_all(fd, answer, sizeof answer);
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: audium_queryd PORT SCRIPT\n");
        return 64;
    }
    signal(SIGCHLD, SIG_IGN);
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int on = 1;
    setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(atoi(argv[1])));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof addr) < 0 ||
        listen(s, 64) < 0) {
        perror("audium_queryd");
        return 1;
    }
    for (;;) {
        int fd = accept4(s, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        pid_t pid = fork();
        if (pid == 0) {
            close(s);
            signal(SIGCHLD, SIG_DFL);
            serve(fd, argv[2]);
            _exit(0);
        }
        close(fd);
    }
}
