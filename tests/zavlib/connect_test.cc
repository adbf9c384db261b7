// Port specifications, connect_port and connect_dgram_port. Lookups that could leave
// the machine (empty or unknown names) run in a network namespace of their own whose
// resolver is held to the hosts file.
#include "testnet.h"
#include "zavlib.h"

#include <gtest/gtest.h>

#include <netdb.h>
#include <netinet/tcp.h>
#include <string>
#include <sys/resource.h>

namespace {

struct Split {
    std::string spec;
    int port;
    std::string host;
};

Split split(const char *text) {
    char buf[176];
    std::snprintf(buf, sizeof buf, "%s", text);
    int port = -1;
    const char *host = nullptr;
    split_port_spec(buf, &port, &host);
    return {buf, port, host};
}

TEST(PortSpec, NumberAndHost) {
    Split s = split("7000@hostb");
    EXPECT_EQ(s.port, 7000);
    EXPECT_EQ(s.host, "hostb");
    EXPECT_EQ(s.spec, "7000"); // split in place
}

TEST(PortSpec, WithoutHostTheDefaultServer) {
    Split s = split("7000");
    EXPECT_EQ(s.port, 7000);
    EXPECT_EQ(s.host, default_server_host);
}

TEST(PortSpec, AtoiRulesAndSixteenBits) {
    EXPECT_EQ(split("70000").port, 4464);
    EXPECT_EQ(split("abc@hostb").port, 0);
    EXPECT_EQ(split("  12x@h").port, 12);
    EXPECT_EQ(split("-1@h").port, 65535);
    EXPECT_EQ(split("99999999999999999999999@h").port, 65535);
}

TEST(PortSpec, FirstAtSplits) {
    Split s = split("7000@");
    EXPECT_EQ(s.host, "");
    s = split("1@a@b");
    EXPECT_EQ(s.port, 1);
    EXPECT_EQ(s.host, "a@b");
}

int connect_spec(const std::string &spec, ConnectMessages m) {
    char buf[176];
    std::snprintf(buf, sizeof buf, "%s", spec.c_str());
    return connect_port(buf, m);
}

TEST(ConnectPort, ConnectsWithLingerZeroAndNoDelay) {
    int port = 0;
    int lfd = testnet::listen_tcp(&port);
    ASSERT_EQ(connect_spec(std::to_string(port) + "@127.0.0.1", ConnectMessages::plain), 1);
    ASSERT_GE(port_sock, 0);
    linger lg{};
    socklen_t len = sizeof lg;
    ASSERT_EQ(getsockopt(port_sock, SOL_SOCKET, SO_LINGER, &lg, &len), 0);
    EXPECT_EQ(lg.l_onoff, 1);
    EXPECT_EQ(lg.l_linger, 0);
    int nodelay = 0;
    len = sizeof nodelay;
    ASSERT_EQ(getsockopt(port_sock, IPPROTO_TCP, TCP_NODELAY, &nodelay, &len), 0);
    EXPECT_EQ(nodelay, 1);
    close(port_sock);
    port_sock = -1;
    close(lfd);
}

TEST(ConnectPort, RefusedIsSilentForQuip) {
    int port = testnet::closed_port();
    testing::internal::CaptureStderr();
    EXPECT_EQ(connect_spec(std::to_string(port) + "@127.0.0.1", ConnectMessages::plain), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(ConnectPort, RefusedIsReportedWithErrnoForQuipwide) {
    int port = testnet::closed_port();
    testing::internal::CaptureStderr();
    EXPECT_EQ(connect_spec(std::to_string(port) + "@localhost", ConnectMessages::with_errno), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Can't connect to port socket [111]\n");
}

// Uses up every descriptor, so that no socket can be created.
void exhaust_descriptors() {
    // The resolver reads its configuration at the first lookup: done here while it can.
    gethostbyname("127.0.0.1");
    rlimit lim{64, 64};
    setrlimit(RLIMIT_NOFILE, &lim);
    while (dup(0) >= 0) {
    }
}

TEST(ConnectPort, NoSocketGivesTheVariantsMessage) {
    std::string errfile = "/tmp/zavlib-nosocket-" + std::to_string(getpid());
    int status = testnet::isolated(0, [&] {
        int fd = open(errfile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
        exhaust_descriptors();
        char spec[] = "7000@127.0.0.1";
        if (connect_port(spec, ConnectMessages::plain) != 0)
            return 1;
        char spec2[] = "7000@127.0.0.1";
        return connect_port(spec2, ConnectMessages::with_errno) == 0 ? 0 : 2;
    });
    EXPECT_EQ(status, 0);
    char buf[256] = {};
    int fd = open(errfile.c_str(), O_RDONLY);
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    unlink(errfile.c_str());
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<std::size_t>(n) : 0),
              "Can't open port socket\nCan't open port socket [24]\n");
}

// An empty or unknown host does not resolve: connect_port returns 0 and says nothing.
TEST(ConnectPort, UnresolvableHostIsSilent) {
    int status = testnet::isolated(testnet::ns_net | testnet::ns_mounts, [] {
        if (!testnet::cover_file("/etc/nsswitch.conf", "hosts: files\n", "/tmp/zavlib-nss-conn"))
            return testnet::ns_unavailable;
        unlink("/tmp/zavlib-nss-conn");
        char empty[] = "7000@";
        char unknown[] = "7000@no-such-host";
        char fallback[] = "7000"; // the default server host, unknown here
        return connect_port(empty, ConnectMessages::with_errno) +
               connect_port(unknown, ConnectMessages::with_errno) +
               connect_port(fallback, ConnectMessages::with_errno);
    });
    if (status == testnet::ns_unavailable)
        GTEST_SKIP() << "namespaces unavailable";
    EXPECT_EQ(status, 0);
}

// Port 70000 is port 4464: a namespace of its own has that port free.
TEST(ConnectPort, PortNumberWrapsToSixteenBits) {
    int status = testnet::isolated(testnet::ns_net, [] {
        int port = 0;
        int lfd = testnet::listen_tcp(&port, 4464);
        if (lfd < 0)
            return 3;
        char spec[] = "70000@127.0.0.1";
        return connect_port(spec, ConnectMessages::plain) == 1 ? 0 : 1;
    });
    if (status == testnet::ns_unavailable)
        GTEST_SKIP() << "namespaces unavailable";
    EXPECT_EQ(status, 0);
}

TEST(ConnectDgram, ConnectedToThePeer) {
    int port = 0;
    int server = testnet::bind_udp(&port);
    int s = connect_dgram_port(port, "127.0.0.1");
    ASSERT_GE(s, 0);
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    ASSERT_EQ(getpeername(s, reinterpret_cast<sockaddr *>(&peer), &len), 0);
    EXPECT_EQ(ntohs(peer.sin_port), port);
    ASSERT_EQ(send(s, "ping", 4, 0), 4);
    char buf[8];
    EXPECT_EQ(recv(server, buf, sizeof buf, 0), 4);
    close(s);
    close(server);
}

TEST(ConnectDgram, UnknownHostGivesMinus200TimesTheResolverCode) {
    int status = testnet::isolated(testnet::ns_net | testnet::ns_mounts, [] {
        if (!testnet::cover_file("/etc/nsswitch.conf", "hosts: files\n", "/tmp/zavlib-nss-dg"))
            return testnet::ns_unavailable;
        unlink("/tmp/zavlib-nss-dg");
        int r = connect_dgram_port(7000, "no-such-host");
        return r == -200 ? 0 : 1;
    });
    if (status == testnet::ns_unavailable)
        GTEST_SKIP() << "namespaces unavailable";
    EXPECT_EQ(status, 0);
}

TEST(ConnectDgram, NoSocketGivesMinus2) {
    int status = testnet::isolated(0, [] {
        exhaust_descriptors();
        return connect_dgram_port(7000, "127.0.0.1") == -2 ? 0 : 1;
    });
    EXPECT_EQ(status, 0);
}

// Connecting a datagram socket sends nothing; a broadcast peer without SO_BROADCAST is
// refused at once. In a namespace of its own all the same.
TEST(ConnectDgram, RefusedPeerGivesMinus3) {
    int status = testnet::isolated(
        testnet::ns_net, [] { return connect_dgram_port(7000, "255.255.255.255") == -3 ? 0 : 1; });
    if (status == testnet::ns_unavailable)
        GTEST_SKIP() << "namespaces unavailable";
    EXPECT_EQ(status, 0);
}

} // namespace
