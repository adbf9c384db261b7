#include "views.h"

#include "fdio.h"
#include "files.h"
#include "names.h"
#include "ssh.h"

#include <array>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

std::string host_root(const std::string &host) {
    return std::string(kSiteDir) + "/hosts/" + host + "/root";
}

std::vector<std::string> host_env(const SiteConfig &cfg, const std::string &host) {
    std::vector<std::string> env = {
        "PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin",
        "HOME=/root",
        "USER=root",
        "LOGNAME=root",
        "SHELL=/bin/sh",
        std::string("AUDIUM_HOME=") + kAudiumHome,
        "JAVA_HOME=" + cfg.java_home,
        "SIMSITE=" + cfg.name,
        "SIMSITE_HOST=" + host,
    };
    if (!cfg.tz.empty())
        env.push_back("TZ=" + cfg.tz);
    return env;
}

static bool fail(std::string *err, const std::string &what, int e) {
    *err = what + " (" + std::strerror(e) + ")";
    return false;
}

static bool mount_or_fail(const char *src, const std::string &dst, const char *type,
                          unsigned long flags, const char *data, std::string *err) {
    if (mount(src, dst.c_str(), type, flags, data) < 0)
        return fail(err, std::string("cannot mount ") + (type ? type : src) + " on " + dst, errno);
    return true;
}

// The devices a view may use, bound from the machine's /dev; nothing else of it shows.
constexpr std::array<const char *, 6> kDevices = {"null",   "zero",    "full",
                                                  "random", "urandom", "tty"};
constexpr std::array<std::array<const char *, 2>, 5> kDevLinks = {{{"fd", "/proc/self/fd"},
                                                                   {"stdin", "/proc/self/fd/0"},
                                                                   {"stdout", "/proc/self/fd/1"},
                                                                   {"stderr", "/proc/self/fd/2"},
                                                                   {"ptmx", "pts/ptmx"}}};

// A /dev of the view's own at dev: a tmpfs with the few devices above, terminals of a
// devpts instance of its own and a /dev/shm of its own.
static bool build_dev(const std::string &dev, std::string *err) {
    if (!mount_or_fail("simsite", dev, "tmpfs", MS_NOSUID | MS_NOEXEC, "mode=0755,size=1m", err))
        return false;
    for (const char *name : kDevices) {
        std::string path = dev + "/" + name;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
        if (fd < 0)
            return fail(err, "cannot create " + path, errno);
        close(fd);
        if (!mount_or_fail((std::string("/dev/") + name).c_str(), path, nullptr, MS_BIND, nullptr,
                           err))
            return false;
    }
    for (auto &link : kDevLinks)
        if (symlink(link[1], (dev + "/" + link[0]).c_str()) < 0)
            return fail(err, "cannot create " + dev + "/" + link[0], errno);
    std::string pts = dev + "/pts", shm = dev + "/shm";
    if (mkdir(pts.c_str(), 0755) < 0 || mkdir(shm.c_str(), 01777) < 0)
        return fail(err, "cannot create the directories of " + dev, errno);
    // The terminals' group is tty (5), as sshd and login expect it.
    return mount_or_fail("devpts", pts, "devpts", MS_NOSUID | MS_NOEXEC,
                         "newinstance,ptmxmode=0666,mode=0620,gid=5", err) &&
           mount_or_fail("simsite", shm, "tmpfs", MS_NOSUID | MS_NODEV, "mode=1777", err);
}

static bool install_audium(const SiteConfig &cfg, const std::string &root, std::string *err) {
    std::string dir = root + kAudiumScripts;
    if (int e = make_dirs(dir, 0755))
        return fail(err, "cannot create " + dir, e);
    DIR *d = opendir(cfg.audium.c_str());
    if (!d)
        return true; // no stand-in: the view gets an empty script directory
    bool ok = true;
    while (dirent *de = readdir(d)) {
        std::string src = cfg.audium + "/" + de->d_name;
        struct stat st;
        if (stat(src.c_str(), &st) < 0 || !S_ISREG(st.st_mode))
            continue;
        std::string dst = dir + "/" + de->d_name;
        if (int e = copy_file(src.c_str(), dst.c_str(), 0777)) {
            ok = fail(err, "cannot copy " + src + " to " + dst, e);
            break;
        }
    }
    closedir(d);
    return ok;
}

static bool write_text(const std::string &path, const std::string &text, std::string *err) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return fail(err, "cannot create " + path, errno);
    errno = EIO; // what a write that takes nothing leaves behind
    bool ok = write_all(fd, text.data(), text.size());
    int e = errno;
    close(fd);
    if (!ok)
        return fail(err, "cannot write " + path, e);
    return true;
}

static bool build_host(const SiteConfig &cfg, std::size_t i, std::string *err) {
    const std::string &host = cfg.hosts[i];
    std::string base = std::string(kSiteDir) + "/hosts/" + host;
    std::string upper = base + "/upper", work = base + "/work", root = base + "/root";
    for (auto *d : {&upper, &work, &root})
        if (int e = make_dirs(*d, 0755))
            return fail(err, "cannot create " + *d, e);
    std::string opts = "lowerdir=/,upperdir=" + upper + ",workdir=" + work;
    if (!mount_or_fail("simsite", root, "overlay", 0, opts.c_str(), err))
        return false;
    // The overlay shows only the root file system itself; the kernel's file systems are
    // given to the view separately. /proc is a fresh one of the site's own process
    // namespace, so a view sees only the site's processes. A networked host mounts its
    // own /proc and /sys in its own namespace, which starts as a copy of every mount
    // here: the fewer, the faster hundreds of hosts start and end.
    if (!build_dev(root + "/dev", err))
        return false;
    if (!cfg.net &&
        (!mount_or_fail("proc", root + "/proc", "proc", MS_NOSUID | MS_NODEV | MS_NOEXEC, nullptr,
                        err) ||
         !mount_or_fail("/sys", root + "/sys", nullptr, MS_BIND | MS_REC, nullptr, err)))
        return false;
    std::string agent_dir = root + "/usr/local/bin";
    if (int e = make_dirs(agent_dir, 0755))
        return fail(err, "cannot create " + agent_dir, e);
    if (int e = copy_file(cfg.agent.c_str(), (root + kAgentPath).c_str(), 0755))
        return fail(err, "cannot install " + cfg.agent, e);
    if (cfg.net) {
        if (!install_ssh(cfg, i, root, err))
            return false;
    } else if (int e = copy_file(cfg.rsh.c_str(), (root + kRshPath).c_str(), 0755))
        return fail(err, "cannot install " + cfg.rsh + " as rsh", e);
    std::string queryd = cfg.rsh.substr(0, cfg.rsh.rfind('/') + 1) + "audium_queryd";
    if (access(queryd.c_str(), X_OK) == 0) {
        if (int e = make_dirs(root + "/usr/local/sbin", 0755))
            return fail(err, "cannot create " + root + "/usr/local/sbin", e);
        if (int e = copy_file(queryd.c_str(), (root + kQuerydPath).c_str(), 0755))
            return fail(err, "cannot install " + queryd, e);
    }
    if (!write_text(root + kIdentityFile, "site " + cfg.name + "\nhost " + host + "\n", err))
        return false;
    return install_audium(cfg, root, err);
}

bool build_site(const SiteConfig &cfg, std::string *err) {
    // Nothing mounted from here on may reach the machine's own namespace.
    if (mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) < 0)
        return fail(err, "cannot make the mount namespace private", errno);
    // /run of the daemon's namespace only; the views' overlays do not show it since an
    // overlay's lower layer does not include the mounts below it.
    if (!mount_or_fail("simsite", "/run", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755", err))
        return false;
    if (int e = make_dirs(kSiteDir, 0700))
        return fail(err, std::string("cannot create ") + kSiteDir, e);
    if (cfg.net && !make_keys(cfg, err))
        return false;
    for (std::size_t i = 0; i < cfg.hosts.size(); i++)
        if (!build_host(cfg, i, err))
            return false;
    return true;
}
