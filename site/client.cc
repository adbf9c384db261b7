#include "client.h"

#include "names.h"
#include "views.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

int remote_exec(const char *prog, const char *site, const Request &r, int in, int out, int err,
                int fail_status) {
    std::string msg;
    if (!encode_request(r, &msg)) {
        fprintf(stderr, "%s: command line too long\n", prog);
        return fail_status;
    }
    int s = connect_site(site);
    if (s < 0) {
        fprintf(stderr, "%s: no site %s is up (%s)\n", prog, site, std::strerror(errno));
        return fail_status;
    }
    int fds[3] = {in, out, err};
    if (send_message(s, msg, fds, 3) < 0) {
        fprintf(stderr, "%s: cannot reach site %s (%s)\n", prog, site, std::strerror(errno));
        close(s);
        return fail_status;
    }
    // The command now holds the standard input and output; letting go of them here makes
    // end of input and end of output depend on the command alone.
    int nul = open("/dev/null", O_RDWR | O_CLOEXEC);
    if (nul >= 0) {
        dup2(nul, 0);
        dup2(nul, 1);
        close(nul);
    }
    char buf[4096];
    int nfds = 0;
    long n;
    do
        n = recv_message(s, buf, sizeof buf - 1, nullptr, 0, &nfds);
    while (n == -1 && errno == EINTR);
    close(s);
    if (n <= 0) {
        fprintf(stderr, "%s: site %s went down\n", prog, site);
        return fail_status;
    }
    buf[n] = '\0';
    if (buf[0] == kReplyStatus)
        return atoi(buf + 1);
    fprintf(stderr, "%s: %s\n", prog, buf + 1);
    return fail_status;
}

// Sends a request without descriptors and returns the reply text (after its tag);
// false after printing a message when the site cannot be reached.
static bool ask(const char *site, const Request &r, std::string *text, pid_t *pid) {
    int s = connect_site(site);
    if (s < 0) {
        fprintf(stderr, "simsite: no site %s is up (%s)\n", site, std::strerror(errno));
        return false;
    }
    if (pid) {
        ucred cred{};
        socklen_t len = sizeof cred;
        if (getsockopt(s, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0)
            *pid = cred.pid;
    }
    std::string msg;
    encode_request(r, &msg);
    char buf[kMaxMessage];
    int nfds = 0;
    long n = -1;
    if (send_message(s, msg, nullptr, 0) == 0)
        do
            n = recv_message(s, buf, sizeof buf, nullptr, 0, &nfds);
        while (n == -1 && errno == EINTR);
    close(s);
    if (n > 0 && buf[0] == kReplyError) {
        fprintf(stderr, "simsite: %.*s\n", static_cast<int>(n - 1), buf + 1);
        return false;
    }
    if (n <= 0 || buf[0] != kReplyOutput) {
        fprintf(stderr, "simsite: site %s did not answer\n", site);
        return false;
    }
    text->assign(buf + 1, static_cast<std::size_t>(n - 1));
    return true;
}

int site_status(const char *site, SiteStatus *st) {
    std::string text;
    Request r;
    r.cmd = "status";
    if (!ask(site, r, &text, &st->pid))
        return 1;
    std::size_t i = 0;
    while (i < text.size()) {
        std::size_t nl = text.find('\n', i);
        if (nl == std::string::npos)
            nl = text.size();
        std::string line = text.substr(i, nl - i);
        if (line.rfind("host ", 0) == 0)
            st->hosts.push_back(line.substr(5));
        i = nl + 1;
    }
    return 0;
}

std::string outside_path(pid_t pid, const std::string &host, const std::string &path) {
    std::string p = "/proc/" + std::to_string(pid) + "/root" + host_root(host);
    if (!path.empty() && path[0] != '/')
        p += '/';
    return p + path;
}

int site_link(const char *site, const std::string &host, const std::vector<std::string> &args) {
    Request r;
    r.cmd = "link";
    r.host = host;
    r.args = args;
    std::string text;
    return ask(site, r, &text, nullptr) ? 0 : 1;
}

int site_down(const char *site) {
    int s = connect_site(site);
    if (s < 0) {
        fprintf(stderr, "simsite: no site %s is up (%s)\n", site, std::strerror(errno));
        return 1;
    }
    ucred cred{};
    socklen_t len = sizeof cred;
    int pidfd = -1;
    // The pidfd tells when the daemon is gone; the kernel ends the other processes of
    // the site's process namespace before that.
    if (getsockopt(s, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0 && cred.pid > 0)
        pidfd = static_cast<int>(syscall(SYS_pidfd_open, cred.pid, 0));
    Request r;
    r.cmd = "down";
    std::string msg;
    encode_request(r, &msg);
    send_message(s, msg, nullptr, 0);
    if (pidfd < 0) {
        // Without a pidfd, the end of the connection is the best sign there is.
        char buf[64];
        int nfds;
        while (recv_message(s, buf, sizeof buf, nullptr, 0, &nfds) > 0) {
        }
        close(s);
        return 0;
    }
    close(s);
    pollfd p{pidfd, POLLIN, 0};
    int r1 = poll(&p, 1, 60000);
    if (r1 <= 0) {
        fprintf(stderr, "simsite: site %s does not go down; killing it\n", site);
        syscall(SYS_pidfd_send_signal, pidfd, SIGKILL, nullptr, 0);
        poll(&p, 1, 10000);
    }
    close(pidfd);
    return 0;
}

// The site this view belongs to, from the view's identity file.
static bool own_site(std::string *site) {
    FILE *f = fopen(kIdentityFile, "re");
    if (!f)
        return false;
    char line[256];
    bool found = false;
    while (fgets(line, sizeof line, f)) {
        if (std::strncmp(line, "site ", 5) != 0)
            continue;
        std::string name(line + 5);
        while (!name.empty() && (name.back() == '\n' || name.back() == ' '))
            name.pop_back();
        found = valid_name(name.c_str());
        *site = name;
        break;
    }
    fclose(f);
    return found;
}

int rsh_main(int argc, char **argv) {
    bool null_input = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; i++) {
        if (std::strcmp(argv[i], "-n") == 0)
            null_input = true;
        else if (std::strcmp(argv[i], "-l") == 0 && i + 1 < argc)
            i++; // one user for the whole site
        else {
            fprintf(stderr, "rsh: unknown option %s\n", argv[i]);
            return 1;
        }
    }
    if (argc - i < 2) {
        fprintf(stderr, "usage: rsh [-n] [-l user] host command [args...]\n");
        return 1;
    }
    const char *host = argv[i];
    if (!valid_name(host)) {
        fprintf(stderr, "rsh: %s: unknown host\n", host);
        return 1;
    }
    std::string site;
    if (!own_site(&site)) {
        fprintf(stderr, "rsh: not inside a simulated site (no %s)\n", kIdentityFile);
        return 1;
    }
    // Like a real remote shell: the words are joined with blanks and the remote host's
    // shell interprets them.
    std::string line;
    for (int j = i + 1; j < argc; j++) {
        if (j > i + 1)
            line += ' ';
        line += argv[j];
    }
    Request r;
    r.cmd = "exec";
    r.host = host;
    r.args = {"/bin/sh", "-c", line};
    int in = 0;
    if (null_input)
        in = open("/dev/null", O_RDONLY | O_CLOEXEC);
    return remote_exec("rsh", site.c_str(), r, in < 0 ? 0 : in, 1, 2, 1);
}
