// The station client against stand-in peers: frame bytes, time limits, lost
// connections, and a peer that has gone away.
#include "client.h"
#include "proc.h"
#include "replies.h"

#include "fdio.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace station;

namespace {

// A peer that runs a shell command with the client's pipes as its input and output.
bool start_sh(Agent &a, const std::string &cmd) {
    return agent_start(a, {"/bin/sh", "-c", cmd});
}

// A stand-in for the master of a shared ssh connection: it takes one session on its
// control socket, runs its command with sh on the descriptors handed over, and sends its
// exit status unless told to drop the session without one.
struct StandInMaster {
    std::string dir, path, command;
    int listener = -1;
    std::thread t;
    StandInMaster(std::uint32_t version, bool tell_exit) {
        char tmpl[] = "/tmp/tarkomux.XXXXXX";
        dir = mkdtemp(tmpl);
        path = dir + "/m";
        sockaddr_un sa{};
        sa.sun_family = AF_UNIX;
        memcpy(sa.sun_path, path.c_str(), path.size() + 1);
        listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        EXPECT_EQ(bind(listener, reinterpret_cast<sockaddr *>(&sa), sizeof sa), 0);
        EXPECT_EQ(listen(listener, 1), 0);
        t = std::thread([this, version, tell_exit] { serve(version, tell_exit); });
    }
    ~StandInMaster() {
        t.join();
        close(listener);
        std::filesystem::remove_all(dir);
    }
    static std::string message(int s) {
        unsigned char len[4];
        std::string body;
        if (read_full(s, len, 4) == 4) {
            body.resize(static_cast<std::size_t>(get_be32(len)));
            body.resize(read_full(s, body.data(), body.size()));
        }
        return body;
    }
    static void send(int s, std::initializer_list<std::int32_t> words) {
        std::string m;
        put_long(m, static_cast<std::int32_t>(4 * words.size()));
        for (auto w : words)
            put_long(m, w);
        write_all(s, m.data(), m.size());
    }
    void serve(std::uint32_t version, bool tell_exit) {
        int s = accept(listener, nullptr, nullptr);
        message(s);
        send(s, {1, static_cast<std::int32_t>(version)});
        std::string m = message(s);
        if (m.size() > 36) { // type, request, reserved, four flags, escape, terminal, command
            command = m.substr(40);
            int fds[3];
            for (int &fd : fds) {
                char byte;
                iovec iov{&byte, 1};
                alignas(cmsghdr) char space[CMSG_SPACE(sizeof(int))];
                msghdr msg{};
                msg.msg_iov = &iov;
                msg.msg_iovlen = 1;
                msg.msg_control = space;
                msg.msg_controllen = sizeof space;
                EXPECT_EQ(recvmsg(s, &msg, 0), 1);
                memcpy(&fd, CMSG_DATA(CMSG_FIRSTHDR(&msg)), sizeof fd);
            }
            pid_t pid = fork();
            if (pid == 0) {
                for (int i = 0; i < 3; i++)
                    dup2(fds[i], i);
                execl("/bin/sh", "sh", "-c", command.c_str(), nullptr);
                _exit(127);
            }
            for (int fd : fds)
                close(fd);
            int st = 0;
            waitpid(pid, &st, 0);
            if (tell_exit)
                send(s, {static_cast<std::int32_t>(0x80000004), 1, WEXITSTATUS(st)});
        }
        close(s);
    }
};

} // namespace

TEST(SharedSsh, SessionThroughTheMasterRunsTheAgentAndEndsWithItsStatus) {
    {
        StandInMaster m(4, true);
        Agent a;
        ASSERT_TRUE(agent_start_shared(a, m.path.c_str(), testproc::bin("tarko_remote2").c_str()));
        EXPECT_EQ(hello(a), Status::Ok);
        std::ofstream(m.dir + "/f") << "abc";
        FileInfo info;
        EXPECT_EQ(sum(a, m.dir, "f", &info), Status::Ok);
        EXPECT_EQ(info.checksum, checksum_of("abc"));
        EXPECT_EQ(agent_close(a), 0);
        EXPECT_EQ(m.command, testproc::bin("tarko_remote2"));
    }
    {
        StandInMaster m(4, true);
        Agent a;
        ASSERT_TRUE(agent_start_shared(a, m.path.c_str(), "exit 3"));
        EXPECT_EQ(agent_close(a), 3);
    }
    {
        StandInMaster m(4, false); // dropped: as ssh, 255
        Agent a;
        ASSERT_TRUE(agent_start_shared(a, m.path.c_str(), "true"));
        EXPECT_EQ(agent_close(a), 255);
    }
    {
        StandInMaster m(3, true); // another protocol
        Agent a;
        EXPECT_FALSE(agent_start_shared(a, m.path.c_str(), "true"));
        EXPECT_EQ(errno, EPROTO);
    }
    Agent a;
    EXPECT_FALSE(agent_start_shared(a, "/nonexistent/socket", "true"));
    EXPECT_EQ(errno, ENOENT);
    EXPECT_EQ(a.mux, -1);
}

TEST(Frames, RequestBytesAsOnTheWire) {
    std::string f = request_header(1, Op::Delete);
    put_string(f, "/tmp");
    put_string(f, "a.txt");
    EXPECT_EQ(f, std::string("\x41\x00\x00\x00\x01\x00\x02"
                             "\x00\x00\x00\x04/tmp"
                             "\x00\x00\x00\x05"
                             "a.txt",
                             24));
    std::string g;
    put_short(g, -1);
    put_long(g, -2);
    EXPECT_EQ(g, std::string("\xff\xff\xff\xff\xff\xfe", 6));
    EXPECT_EQ(checksum_of(""), 0xFFFFFFFFu);
    EXPECT_EQ(checksum_of("abc"), 0x48AA78A2u);
}

TEST(Client, HelloV20IsAccepted) {
    Agent a;
    ASSERT_TRUE(start_sh(a, "head -c 1 >/dev/null; printf 'HELLO_v20\\n'; cat >/dev/null"));
    EXPECT_EQ(hello(a), Status::Ok);
    EXPECT_EQ(agent_close(a), 0);
}

TEST(Client, WrongHelloAndClosedPeer) {
    Agent a;
    ASSERT_TRUE(start_sh(a, "printf 'HELLO_v99\\n'; cat >/dev/null"));
    EXPECT_EQ(hello(a), ClientError::Hello);
    agent_close(a);
    Agent b;
    ASSERT_TRUE(start_sh(b, "exec >&-; cat >/dev/null")); // output closed, input read
    EXPECT_EQ(rm(b, "/tmp", "x"), ClientError::Closed);
    agent_close(b);
}

TEST(Client, SilentPeerTimesOut) {
    Agent a;
    ASSERT_TRUE(start_sh(a, "printf '\\nR\\000'; cat >/dev/null"));
    a.timeout_ms = 300;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(rm(a, "/tmp", "x"), ClientError::Timeout);
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0)
            .count();
    EXPECT_GE(ms, 250);
    EXPECT_LT(ms, 3000);
    agent_close(a);
}

TEST(Client, ReplyToAnotherRequestIsSeqMismatch) {
    Agent a;
    ASSERT_TRUE(start_sh(a, "printf 'R\\000\\000\\000\\007\\000\\000'; cat >/dev/null"));
    std::int32_t got = 0;
    ASSERT_EQ(send_raw(a, request_header(1, Op::Delete)), ClientError::None);
    EXPECT_EQ(read_reply(a, 1, 2000, &got), Status::SeqMismatch);
    EXPECT_EQ(got, 7);
    char rest[2];
    EXPECT_EQ(read_exact(a, rest, 2, 1000), ClientError::None); // status bytes left for the caller
    agent_close(a);
}

TEST(Client, WriteToAVanishedPeerIsAnError) {
    Agent a;
    ASSERT_TRUE(start_sh(a, "exit 3"));
    usleep(100000);
    std::string big(1 << 20, 'x');
    EXPECT_EQ(put(a, "/tmp", "x", big), ClientError::Write); // the request cannot go out
    EXPECT_EQ(send_raw(a, big), ClientError::Write);         // and no SIGPIPE
    EXPECT_EQ(agent_close(a), 3);
}

TEST(Client, NamesTooLongAreNotSent) {
    Agent a;
    ASSERT_TRUE(start_sh(a, "cat >/dev/null"));
    EXPECT_EQ(rm(a, std::string(96, 'd'), "x"), ClientError::Argument);
    EXPECT_EQ(rm(a, "/tmp", std::string(32, 'n')), ClientError::Argument);
    EXPECT_EQ(push(a, std::string(64, 'h'), "/tmp", "x", 0, 0), ClientError::Argument);
    EXPECT_EQ(undeploy(a, std::string(96, 'a')), ClientError::Argument);
    EXPECT_EQ(a.seq, 0);
    agent_close(a);
}

TEST(Client, ProgramThatCannotStart) {
    Agent a;
    EXPECT_FALSE(agent_start(a, {"/nonexistent/tarko_remote2"}));
    EXPECT_EQ(a.pid, -1);
}

TEST(Client, RealAgentRoundTrip) {
    Agent a;
    ASSERT_TRUE(agent_start(a, {testproc::bin("tarko_remote2")}));
    char tmpl[] = "/tmp/tarkoclient.XXXXXX";
    std::string dir = mkdtemp(tmpl);
    std::string data(200000, 'q');
    EXPECT_EQ(hello(a), Status::Ok);
    EXPECT_EQ(put(a, dir, "f", data), Status::Ok);
    FileInfo info;
    EXPECT_EQ(sum(a, dir, "f", &info), Status::Ok);
    EXPECT_EQ(info.length, 200000);
    EXPECT_EQ(info.checksum, checksum_of(data));
    EXPECT_EQ(get_path(a, dir, "f", (dir + "/g").c_str(), &info), Status::Ok);
    EXPECT_EQ(rm(a, dir, "f"), Status::Ok);
    EXPECT_EQ(rm(a, dir, "g"), Status::Ok);
    EXPECT_EQ(a.seq, 5);
    EXPECT_EQ(agent_close(a), 0);
    rmdir(dir.c_str());
}

// Found by reply_fuzz while results were plain numbers: a peer's status 0xFFFF came back
// as -1, the client's own time-out, and 0xFFFB as a checksum failure. The reply bytes of
// the finding, replayed: a negative status is the agent's answer (which the command
// refuses), never a failure of ours.
TEST(Client, NegativeStatusIsNoClientError) {
    for (const char *status : {"\\377\\377", "\\377\\373", "\\200\\000"}) {
        Agent a;
        std::string reply =
            std::string("printf '\\377\\377R\\000\\000\\000\\001") + status + "'; cat >/dev/null";
        ASSERT_TRUE(start_sh(a, reply));
        Reply r = rm(a, "/srv/d", "f");
        EXPECT_TRUE(r.answered()) << status;
        EXPECT_LT(code(r.status()), 0) << status;
        agent_close(a);
    }
}

TEST(Client, NegativeLengthOfASumOrGetIsAProtocolError) {
    for (bool with_data : {false, true}) {
        Agent a;
        ASSERT_TRUE(start_sh(a, "printf '\\377\\377R\\000\\000\\000\\001\\000\\001"
                                "\\377\\377\\377\\376\\000\\000\\000\\000"
                                "R\\000\\000\\000\\001\\000\\000'; cat >/dev/null"));
        FileInfo info;
        std::FILE *got = std::tmpfile();
        int fd = fileno(got);
        Reply r = with_data ? get_fd(a, "/srv/d", "f", fd, &info) : sum(a, "/srv/d", "f", &info);
        EXPECT_EQ(r, ClientError::Protocol) << with_data;
        EXPECT_EQ(lseek(fd, 0, SEEK_END), 0);
        std::fclose(got);
        agent_close(a);
    }
}
