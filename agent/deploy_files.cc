// The file work of a deployment: unpacking the archive with the JDK's jar tool and
// copying the server's admin scripts into the new copy.
#include "deploy.h"

#include "cleanup.h"

#include "deploy_paths.h"
#include "fdio.h"
#include "format.h"
#include "log.h"
#include "ownfile.h"
#include "stream.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Room for "<dir>/<entry>" with any directory of a deployment and any entry name.
constexpr std::size_t FILE_PATH_CAP = 512;
// Scripts are small; they are copied in blocks of this size.
constexpr std::size_t COPY_BLOCK = 500;

struct DirCloser {
    void operator()(DIR *d) const { closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

struct Fd {
    int fd = -1;
    explicit Fd(int f) : fd(f) {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd() {
        if (fd >= 0)
            close(fd);
    }
};

bool is_script_name(const char *name) {
    std::size_t len = std::strlen(name);
    return len > 3 && std::strcmp(name + len - 3, ".sh") == 0;
}

// Copies one script. Returns 0 or 2 after logging why.
int copy_script(const char *src, const char *dst) {
    Fd in(open(src, O_RDONLY | O_CLOEXEC));
    if (in.fd < 0) {
        log_entry("Can't open file %s for reading (%s)", src, std::strerror(errno));
        return 2;
    }
    Fd out(open_own_empty(dst, 0777));
    if (out.fd < 0) {
        log_entry("Can't open file %s for writing (%s)", dst, std::strerror(errno));
        return 2;
    }
    std::array<char, COPY_BLOCK> block;
    for (;;) {
        ssize_t n = read(in.fd, block.data(), block.size());
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0)
            break;
        // A script cut short would be worse than none: the deployment fails instead.
        if (n < 0) {
            log_entry("Can't read file %s (%s)", src, std::strerror(errno));
            return 2;
        }
        if (!write_all(out.fd, block.data(), static_cast<std::size_t>(n))) {
            log_entry("Can't write file %s (%s)", dst, std::strerror(errno));
            return 2;
        }
    }
    fchmod(out.fd, 0777);
    if (close(out.fd) < 0) {
        out.fd = -1;
        log_entry("Can't write file %s (%s)", dst, std::strerror(errno));
        return 2;
    }
    out.fd = -1;
    return 0;
}

} // namespace

int unjar(const char *archive, const char *appl) {
    std::array<char, APPL_PATH_CAP> jar{}, data{}, java{};
    int rc = jar_program(jar.data(), jar.size());
    if (rc == 20)
        return 20;
    if (rc != 0 || !format_fits(data, "%s/data", appl) || !format_fits(java, "%s/java", appl)) {
        log_entry("Jar command for %s too long", appl);
        return 2;
    }
    pid_t pid = fork();
    if (pid < 0)
        return 14;
    if (pid == 0) {
        execl(jar.data(), "jar", "-xf", archive, data.data(), java.data(),
              static_cast<char *>(nullptr));
        _exit(1);
    }
    // Only the request's own time limit bounds the wait: it ends the agent if jar hangs,
    // and jar with it.
    cleanup_child(pid);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0) {
        if (errno != EINTR) {
            st = -1;
            break;
        }
    }
    cleanup_child(0);
    if (st == 0)
        return 0;
    log_entry("Jar command failed. Jar returned %d.", st);
    return 2;
}

int copySHfiles(const char *src, const char *dst) {
    DirHandle dir(opendir(src));
    if (!dir) {
        log_entry("Can't open directory %s (%s)", src, std::strerror(errno));
        return 2;
    }
    while (const dirent *e = readdir(dir.get())) {
        if (!is_script_name(e->d_name))
            continue;
        std::array<char, FILE_PATH_CAP> from{}, to{};
        if (!format_fits(from, "%s/%s", src, e->d_name)) {
            log_entry("Can't open file %s/%s for reading (%s)", src, e->d_name,
                      std::strerror(ENAMETOOLONG));
            return 2;
        }
        if (!format_fits(to, "%s/%s", dst, e->d_name)) {
            log_entry("Can't open file %s/%s for writing (%s)", dst, e->d_name,
                      std::strerror(ENAMETOOLONG));
            return 2;
        }
        if (copy_script(from.data(), to.data()) != 0)
            return 2;
    }
    return 0;
}
