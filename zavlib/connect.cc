// Opening the connection of a query: TCP for quip and quipwide, a connected UDP socket
// for quipdgram and quipdgramwide.
#include "sys_hdrs.h"
#include "zavlib.h"

int port_sock = -1;

void split_port_spec(char *spec, int *port, const char **host) {
    char *at = std::strchr(spec, '@');
    if (at) {
        *at = '\0';
        *host = at + 1;
    } else {
        *host = default_server_host;
    }
    // atoi rules; strtol keeps an over-long number defined, and only 16 bits count.
    unsigned long value = static_cast<unsigned long>(std::strtol(spec, nullptr, 10));
    *port = static_cast<int>(value & 0xffffUL);
}

// The peer address: the entry's address type, its first address and the port; the
// rest zero. Never copies more than an IPv4 address holds.
static struct sockaddr_in peer_address(const struct hostent *entry, int port) {
    struct sockaddr_in peer {};
    peer.sin_family = static_cast<sa_family_t>(entry->h_addrtype);
    peer.sin_port = htons(static_cast<std::uint16_t>(port));
    if (entry->h_addr_list && entry->h_addr_list[0] && entry->h_length > 0) {
        std::size_t n = static_cast<std::size_t>(entry->h_length);
        if (n > sizeof peer.sin_addr)
            n = sizeof peer.sin_addr;
        std::memcpy(&peer.sin_addr, entry->h_addr_list[0], n);
    }
    return peer;
}

int connect_port(char *spec, ConnectMessages messages) {
    int port = 0;
    const char *host = nullptr;
    split_port_spec(spec, &port, &host);

    struct hostent *entry = gethostbyname(host);
    if (!entry)
        return 0;
    struct sockaddr_in peer = peer_address(entry, port);

    int s = socket(entry->h_addrtype, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        if (messages == ConnectMessages::with_errno)
            std::fprintf(stderr, "Can't open port socket [%d]\n", errno);
        else
            std::fprintf(stderr, "Can't open port socket\n");
        return 0;
    }
    if (connect(s, reinterpret_cast<struct sockaddr *>(&peer), sizeof peer) < 0) {
        int err = errno;
        if (messages == ConnectMessages::with_errno)
            std::fprintf(stderr, "Can't connect to port socket [%d]\n", err);
        close(s);
        return 0;
    }
    port_sock = s;

    // Linger 0: closing after the answer resets the connection instead of leaving it
    // in TIME_WAIT; the service has nothing more to say by then.
    struct linger lg {};
    lg.l_onoff = 1;
    lg.l_linger = 0;
    if (setsockopt(s, SOL_SOCKET, SO_LINGER, &lg, sizeof lg) < 0)
        errlog_errno("LCL", "Can't port linger");
    int one = 1;
    if (setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) < 0)
        errlog_errno("LCL", "Can't port nodelay");
    return 1;
}

int connect_dgram_port(int port, const char *host) {
    errno = 0;
    struct hostent *entry = gethostbyname(host);
    if (!entry) {
        // NETDB_INTERNAL (-1) and 0 would turn the product into a descriptor-like
        // positive number: a resolver failure must stay negative.
        if (h_errno <= 0)
            return -1;
        return -200 * h_errno;
    }
    struct sockaddr_in peer = peer_address(entry, port);

    int s;
    do
        s = socket(entry->h_addrtype, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    while (s < 0 && errno == EINTR);
    if (s < 0)
        return -2;
    int rc;
    do
        rc = connect(s, reinterpret_cast<struct sockaddr *>(&peer), sizeof peer);
    while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        close(s);
        return -3;
    }
    return s;
}
