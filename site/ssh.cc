#include "ssh.h"

#include "fdio.h"
#include "files.h"
#include "names.h"
#include "net.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *kKeygen = "/usr/bin/ssh-keygen";

// The site's known hosts and /etc/hosts, the same in every view: made with the keys.
std::string site_known, site_hosts;

bool fail(std::string *err, const std::string &what, int e) {
    *err = what + " (" + std::strerror(e) + ")";
    return false;
}

bool read_text(const std::string &path, std::string *text, std::string *err) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return fail(err, "cannot open " + path, errno);
    char buf[4096];
    ssize_t k;
    text->clear();
    while ((k = read(fd, buf, sizeof buf)) > 0)
        text->append(buf, static_cast<std::size_t>(k));
    int e = errno;
    close(fd);
    return k == 0 || fail(err, "cannot read " + path, e);
}

// Writes text to path; an existing file keeps its owner and mode (an overlay copies it
// up), a new one gets mode.
bool put_text(const std::string &path, const std::string &text, mode_t mode, std::string *err) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd < 0)
        return fail(err, "cannot create " + path, errno);
    if (!write_all(fd, text.data(), text.size())) {
        int e = errno;
        close(fd);
        return fail(err, "cannot write " + path, e);
    }
    return close(fd) == 0 || fail(err, "cannot write " + path, errno);
}

std::string host_key(const std::string &host) {
    return std::string(kKeyDir) + "/host." + host;
}

std::string root_key() {
    return std::string(kKeyDir) + "/root";
}

// With sshd's accounts checked without PAM, a password field starting with '!' marks
// the account locked even for keys: root's gets "*" (no password, not locked).
std::string unlocked_root(const std::string &shadow) {
    std::string out;
    std::size_t i = 0;
    while (i < shadow.size()) {
        std::size_t nl = shadow.find('\n', i);
        std::size_t end = nl == std::string::npos ? shadow.size() : nl + 1;
        std::string line = shadow.substr(i, end - i);
        if (line.rfind("root:", 0) == 0) {
            std::size_t colon = line.find(':', 5);
            if (colon != std::string::npos && (colon == 5 || line[5] == '!'))
                line = "root:*" + line.substr(colon);
        }
        out += line;
        i = end;
    }
    return out;
}

std::string sshd_config(const SiteConfig &cfg, const std::string &host) {
    // sshd gives commands a fixed environment: the site's part of it is set here.
    // Quoted, so that a value may hold blanks (sshd has no way to quote a '"').
    std::string env = "SetEnv \"AUDIUM_HOME=" + std::string(kAudiumHome) +
                      "\" \"JAVA_HOME=" + cfg.java_home + "\" \"SIMSITE=" + cfg.name +
                      "\" \"SIMSITE_HOST=" + host + "\"";
    if (!cfg.tz.empty())
        env += " \"TZ=" + cfg.tz + "\"";
    return "# sshd of simulated host " + host + " of site " + cfg.name +
           "\n"
           "Port 22\n"
           "ListenAddress 0.0.0.0\n"
           "HostKey /etc/ssh/ssh_host_ed25519_key\n"
           "PidFile " +
           kSshdPidFile +
           "\n"
           "PermitRootLogin prohibit-password\n"
           "PubkeyAuthentication yes\n"
           "AuthorizedKeysFile .ssh/authorized_keys\n"
           "PasswordAuthentication no\n"
           "KbdInteractiveAuthentication no\n"
           "UsePAM no\n"
           "UseDNS no\n"
           "PrintMotd no\n"
           "PrintLastLog no\n"
           "AcceptEnv none\n"
           // Fan-outs open many connections at once; the default drops some of them.
           "MaxStartups 256:30:512\n"
           "MaxSessions 256\n"
           // Where a Debian host has it: scp, sftp and the tools built on them use it.
           "Subsystem sftp /usr/lib/openssh/sftp-server\n"
           "LogLevel ERROR\n" +
           env + "\n";
}

// The client side, for every ssh of the host: the site's key, strict checking against
// the site's known hosts, no questions, and a dead peer noticed within seconds.
std::string ssh_config() {
    return "Host *\n"
           "    User root\n"
           "    IdentityFile /root/.ssh/id_ed25519\n"
           "    IdentitiesOnly yes\n"
           "    BatchMode yes\n"
           "    StrictHostKeyChecking yes\n"
           "    GlobalKnownHostsFile /etc/ssh/ssh_known_hosts\n"
           "    UserKnownHostsFile /dev/null\n"
           "    CheckHostIP no\n"
           "    ConnectTimeout 10\n"
           "    ServerAliveInterval 2\n"
           "    ServerAliveCountMax 3\n"
           "    LogLevel ERROR\n";
}

} // namespace

bool make_keys(const SiteConfig &cfg, std::string *err) {
    if (int e = make_dirs(kKeyDir, 0700))
        return fail(err, std::string("cannot create ") + kKeyDir, e);
    if (access(kKeygen, X_OK) != 0)
        return fail(err, std::string("cannot run ") + kKeygen + " (install openssh-client)", errno);
    std::vector<std::vector<std::string>> runs = {
        {kKeygen, "-q", "-t", "ed25519", "-N", "", "-C", "root@" + cfg.name, "-f", root_key()}};
    for (auto &h : cfg.hosts)
        runs.push_back({kKeygen, "-q", "-t", "ed25519", "-N", "", "-C", h, "-f", host_key(h)});
    // One ssh-keygen after the other took a second for every two hundred hosts.
    if (run_programs(runs, 8, err))
        return false;
    // What every host is told of all the others, made once for the whole site.
    std::string pub;
    site_known.clear();
    site_hosts = "127.0.0.1\tlocalhost\n::1\tlocalhost ip6-localhost ip6-loopback\n";
    for (std::size_t j = 0; j < cfg.hosts.size(); j++) {
        if (!read_text(host_key(cfg.hosts[j]) + ".pub", &pub, err))
            return false;
        site_known += cfg.hosts[j] + "," + host_address(j) + " " + pub;
        site_hosts += host_address(j) + "\t" + cfg.hosts[j] + "\n";
    }
    return true;
}

bool install_ssh(const SiteConfig &cfg, std::size_t i, const std::string &root, std::string *err) {
    const std::string &host = cfg.hosts[i];
    // The machine's own root home (its dot files, its keys) is not the host's.
    for (auto [dir, mode] : {std::pair{"/root", "mode=0700"}, std::pair{"/run", "mode=0755"}})
        if (mount("simsite", (root + dir).c_str(), "tmpfs", MS_NOSUID | MS_NODEV, mode) < 0)
            return fail(err, std::string("cannot mount a tmpfs on ") + root + dir, errno);
    for (auto [dir, mode] : {std::pair{"/run/sshd", 0755}, std::pair{"/root/.ssh", 0700},
                             std::pair{"/var/log", 0755}, std::pair{"/etc/ssh", 0755}})
        if (int e = make_dirs(root + dir, static_cast<mode_t>(mode)))
            return fail(err, "cannot create " + root + dir, e);
    std::string text;
    if (!put_text(root + "/etc/ssh/ssh_known_hosts", site_known, 0644, err) ||
        !put_text(root + "/etc/hosts", site_hosts, 0644, err) ||
        !put_text(root + "/etc/hostname", host + "\n", 0644, err) ||
        // No name server: names outside the site resolve nowhere.
        !put_text(root + "/etc/resolv.conf", "# a simulated site has no name servers\n", 0644,
                  err) ||
        !put_text(root + kSshdConfig, sshd_config(cfg, host), 0644, err) ||
        !put_text(root + "/etc/ssh/ssh_config", ssh_config(), 0644, err) ||
        !put_text(root + kRshPath, "#!/bin/sh\nexec /usr/bin/ssh -o BatchMode=yes \"$@\"\n", 0755,
                  err))
        return false;
    // Files the view has from the machine's root file system keep their modes there.
    chmod((root + kRshPath).c_str(), 0755);
    chmod((root + "/etc/ssh/ssh_config").c_str(), 0644);
    if (!read_text(host_key(host), &text, err) ||
        !put_text(root + "/etc/ssh/ssh_host_ed25519_key", text, 0600, err) ||
        !read_text(host_key(host) + ".pub", &text, err) ||
        !put_text(root + "/etc/ssh/ssh_host_ed25519_key.pub", text, 0644, err) ||
        !read_text(root_key(), &text, err) ||
        !put_text(root + "/root/.ssh/id_ed25519", text, 0600, err) ||
        !read_text(root_key() + ".pub", &text, err) ||
        !put_text(root + "/root/.ssh/authorized_keys", text, 0600, err))
        return false;
    // The machine's own host keys, if any, are not this host's.
    for (const char *k : {"rsa", "ecdsa"})
        for (const char *suffix : {"", ".pub"})
            unlink((root + "/etc/ssh/ssh_host_" + k + "_key" + suffix).c_str());
    if (!read_text(root + "/etc/shadow", &text, err))
        return false;
    return put_text(root + "/etc/shadow", unlocked_root(text), 0640, err);
}
