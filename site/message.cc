#include "message.h"

#include "names.h"

#include <cerrno>
#include <cstring>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

static bool put_field(std::string *out, char tag, const std::string &s) {
    if (s.find('\0') != std::string::npos)
        return false;
    out->push_back(tag);
    out->append(s);
    out->push_back('\0');
    return true;
}

bool encode_request(const Request &r, std::string *out) {
    out->clear();
    bool ok = put_field(out, 'C', r.cmd);
    if (!r.host.empty())
        ok = ok && put_field(out, 'H', r.host);
    if (!r.cwd.empty())
        ok = ok && put_field(out, 'D', r.cwd);
    if (!r.argv0.empty())
        ok = ok && put_field(out, 'Z', r.argv0);
    for (auto &e : r.env)
        ok = ok && put_field(out, 'E', e);
    for (auto &u : r.unset)
        ok = ok && put_field(out, 'U', u);
    for (auto &a : r.args)
        ok = ok && put_field(out, 'A', a);
    return ok && out->size() <= kMaxMessage;
}

bool decode_request(const char *buf, std::size_t n, Request *r) {
    *r = Request{};
    std::size_t i = 0;
    bool have_cmd = false;
    while (i < n) {
        const void *nul = std::memchr(buf + i, '\0', n - i);
        if (!nul)
            return false;
        std::size_t end = static_cast<std::size_t>(static_cast<const char *>(nul) - buf);
        if (end == i)
            return false; // a field without its tag
        std::string text(buf + i + 1, end - i - 1);
        switch (buf[i]) {
        case 'C':
            r->cmd = text;
            have_cmd = true;
            break;
        case 'H':
            r->host = text;
            break;
        case 'D':
            r->cwd = text;
            break;
        case 'Z':
            r->argv0 = text;
            break;
        case 'E':
            r->env.push_back(text);
            break;
        case 'U':
            r->unset.push_back(text);
            break;
        case 'A':
            r->args.push_back(text);
            break;
        default:
            return false;
        }
        i = end + 1;
    }
    return have_cmd;
}

int send_message(int sock, const std::string &data, const int *fds, int nfds) {
    iovec iov{const_cast<char *>(data.data()), data.size()};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    alignas(cmsghdr) char ctl[CMSG_SPACE(sizeof(int) * 3)];
    if (nfds > 3) {
        errno = EINVAL;
        return -1;
    }
    if (nfds > 0) {
        std::memset(ctl, 0, sizeof ctl);
        m.msg_control = ctl;
        m.msg_controllen = CMSG_SPACE(sizeof(int) * static_cast<std::size_t>(nfds));
        cmsghdr *c = CMSG_FIRSTHDR(&m);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_RIGHTS;
        c->cmsg_len = CMSG_LEN(sizeof(int) * static_cast<std::size_t>(nfds));
        std::memcpy(CMSG_DATA(c), fds, sizeof(int) * static_cast<std::size_t>(nfds));
    }
    for (;;) {
        ssize_t k = sendmsg(sock, &m, MSG_NOSIGNAL);
        if (k < 0 && errno == EINTR)
            continue;
        if (k < 0)
            return -1;
        return 0;
    }
}

long recv_message(int sock, char *buf, std::size_t cap, int *fds, int maxfds, int *nfds) {
    *nfds = 0;
    iovec iov{buf, cap};
    msghdr m{};
    m.msg_iov = &iov;
    m.msg_iovlen = 1;
    alignas(cmsghdr) char ctl[CMSG_SPACE(sizeof(int) * 8)];
    m.msg_control = ctl;
    m.msg_controllen = sizeof ctl;
    ssize_t k;
    do
        k = recvmsg(sock, &m, MSG_CMSG_CLOEXEC);
    while (k < 0 && errno == EINTR);
    if (k < 0)
        return -1;
    bool fit = !(m.msg_flags & (MSG_TRUNC | MSG_CTRUNC));
    for (cmsghdr *c = CMSG_FIRSTHDR(&m); c; c = CMSG_NXTHDR(&m, c)) {
        if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS)
            continue;
        std::size_t count = (c->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        const unsigned char *p = CMSG_DATA(c);
        for (std::size_t j = 0; j < count; j++) {
            int fd;
            std::memcpy(&fd, p + j * sizeof(int), sizeof fd);
            if (*nfds < maxfds)
                fds[(*nfds)++] = fd;
            else {
                close(fd);
                fit = false;
            }
        }
    }
    if (!fit) {
        for (int j = 0; j < *nfds; j++)
            close(fds[j]);
        *nfds = 0;
        return -2;
    }
    return static_cast<long>(k);
}

int connect_site(const char *site) {
    std::string name = socket_name(site);
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    // Abstract address: a leading NUL, then the name, not NUL-terminated.
    std::memcpy(a.sun_path + 1, name.data(), name.size());
    socklen_t len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
    int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (s < 0)
        return -1;
    int r;
    do
        r = connect(s, reinterpret_cast<sockaddr *>(&a), len);
    while (r < 0 && errno == EINTR);
    if (r < 0) {
        int e = errno;
        close(s);
        errno = e;
        return -1;
    }
    return s;
}
