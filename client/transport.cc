#include "transport.h"

#include "agentcmd.h"
#include "fdio.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr std::size_t kPathCap = 512;

// The station process whose command line named the logs; the hosts of a fan-out are
// served by its children, which look the logs up under this same number.
long run_pid = 0;

// The directory and its missing parents, all with mode; 0 or an errno value.
int make_dir(const char *path, mode_t mode) {
    if (int e = make_parent_dirs(path, mode))
        return e;
    if (mkdir(path, mode) < 0 && errno != EEXIST)
        return errno;
    struct stat st;
    if (stat(path, &st) < 0)
        return errno;
    return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

// ssh's log for host in this run: errors go there, not onto the station's standard
// error, so that a failure becomes one line of the station's own.
int log_path(const char *host, char *out, std::size_t cap) {
    char dir[kPathCap];
    if (ssh_dir(dir, sizeof dir) != 0)
        return 1;
    int n = snprintf(out, cap, "%s/log.%ld.%s", dir, run_pid, host);
    return n > 0 && static_cast<std::size_t>(n) < cap ? 0 : 1;
}

bool has(std::string_view line, const char *what) {
    return line.find(what) != std::string_view::npos;
}

} // namespace

int ssh_dir(char *out, std::size_t cap) {
    const char *run = getenv("XDG_RUNTIME_DIR");
    struct stat st;
    int n;
    if (run && *run == '/' && stat(run, &st) == 0 && S_ISDIR(st.st_mode))
        n = snprintf(out, cap, "%s/tarko-ssh", run);
    else {
        const char *home = getenv("HOME");
        if (!home || *home != '/')
            return 1;
        n = snprintf(out, cap, "%s/.cache/tarko/ssh", home);
    }
    return n > 0 && static_cast<std::size_t>(n) < cap ? 0 : 1;
}

int ssh_agent_command(int answer_seconds, char *out, std::size_t cap, char *err,
                      std::size_t errcap) {
    char dir[kPathCap];
    if (ssh_dir(dir, sizeof dir) != 0) {
        snprintf(err, errcap, "--ssh: no directory for ssh's shared connections (set HOME)");
        return 1;
    }
    // The template is split on blanks; a socket path is limited to 107 bytes, of which
    // the host's key takes 17 with its slash, and ssh's temporary suffix 17 while the
    // socket is made.
    if (strpbrk(dir, " \t\n") || strlen(dir) > 73) {
        snprintf(err, errcap, "--ssh: %s cannot hold ssh's shared connections (%s)", dir,
                 strpbrk(dir, " \t\n") ? "it contains a blank" : "the path is too long");
        return 1;
    }
    if (int e = make_dir(dir, 0700)) {
        snprintf(err, errcap, "--ssh: cannot create %s (%s)", dir, strerror(e));
        return 1;
    }
    run_pid = static_cast<long>(getpid());
    int n = snprintf(out, cap,
                     "ssh -o BatchMode=yes -T -o ControlMaster=auto -o ControlPath=%s/{hostkey} "
                     "-o ControlPersist=60 -o ConnectTimeout=%d -E %s/log.%ld.{host} {host} %s",
                     dir, answer_seconds, dir, run_pid, SSH_REMOTE_AGENT);
    if (n <= 0 || static_cast<std::size_t>(n) >= cap) {
        snprintf(err, errcap, "--ssh: the ssh command is too long");
        return 1;
    }
    return 0;
}

int ssh_socket(const char *host, char *out, std::size_t cap) {
    char dir[kPathCap], key[HOST_KEY_CAP];
    if (ssh_dir(dir, sizeof dir) != 0)
        return 1;
    host_key(host, key, sizeof key);
    int n = snprintf(out, cap, "%s/%s", dir, key);
    return n > 0 && static_cast<std::size_t>(n) < cap ? 0 : 1;
}

void ssh_classify(const char *line, char *msg, std::size_t cap) {
    std::string_view l(line);
    if (has(l, "Host key verification failed") || has(l, "host key is known") ||
        has(l, "IDENTIFICATION HAS CHANGED"))
        snprintf(msg, cap, "ssh does not know the host's key, or it has changed (%s)", line);
    else if (has(l, "Permission denied") || has(l, "Too many authentication failures"))
        snprintf(msg, cap, "the host refused our ssh key (%s)", line);
    else if (has(l, "master failed") || has(l, "mux_client"))
        snprintf(msg, cap, "the shared ssh connection to the host broke (%s)", line);
    else if (has(l, "Could not resolve hostname") || has(l, "Name or service not known"))
        snprintf(msg, cap, "no such host name (%s)", line);
    else if (has(l, "connect to host") || has(l, "timed out") || has(l, "No route to host") ||
             has(l, "Connection refused") || has(l, "unreachable") || has(l, "Connection closed") ||
             has(l, "Connection reset"))
        snprintf(msg, cap, "the host cannot be reached (%s)", line);
    else
        snprintf(msg, cap, "ssh failed (%s)", line);
}

bool ssh_explain(const char *host, char *msg, std::size_t cap) {
    char path[kPathCap];
    if (log_path(host, path, sizeof path) != 0)
        return false;
    FILE *f = fopen(path, "re");
    if (!f)
        return false;
    // The last line is ssh's verdict; earlier ones are warnings leading up to it.
    char line[512], last[512] = "";
    while (fgets(line, sizeof line, f)) {
        line[strcspn(line, "\r\n")] = '\0';
        if (line[0])
            memcpy(last, line, sizeof last);
    }
    fclose(f);
    if (!last[0])
        return false;
    ssh_classify(last, msg, cap);
    return true;
}

void ssh_forget(const char *host) {
    char path[kPathCap];
    if (log_path(host, path, sizeof path) == 0)
        unlink(path);
}
