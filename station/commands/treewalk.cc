#include "treewalk.h"

#include "protocol.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fnmatch.h>
#include <sys/stat.h>

namespace station {

namespace {

struct Walk {
    const std::vector<std::string> &excludes;
    std::vector<TreeFile> &files;
    std::vector<TreeSkipped> &skipped;
};

// The names in a directory, sorted; -1 with errno when it cannot be read.
int list_dir(const std::string &path, std::vector<std::string> &names) {
    DIR *d = opendir(path.c_str());
    if (!d)
        return -1;
    errno = 0;
    while (dirent *e = readdir(d)) {
        if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0)
            names.emplace_back(e->d_name);
    }
    int e = errno;
    closedir(d);
    std::sort(names.begin(), names.end());
    errno = e;
    return e ? -1 : 0;
}

// rel is "" for the root, else "a/b" without a trailing slash.
void walk_dir(Walk &w, const std::string &local, const std::string &remote,
              const std::string &rel) {
    std::vector<std::string> names;
    if (list_dir(local, names) != 0) {
        w.skipped.push_back({rel.empty() ? "." : rel, TreeSkip::Unreadable, errno});
        return;
    }
    for (const auto &name : names) {
        std::string r = rel.empty() ? name : rel + "/" + name;
        if (tree_excluded(r, w.excludes))
            continue;
        std::string path = local + "/" + name;
        struct stat st;
        if (lstat(path.c_str(), &st) != 0) {
            w.skipped.push_back({r, TreeSkip::Unreadable, errno});
            continue;
        }
        if (S_ISLNK(st.st_mode)) {
            w.skipped.push_back({r, TreeSkip::Symlink});
        } else if (S_ISDIR(st.st_mode)) {
            walk_dir(w, path, (remote == "/" ? "" : remote) + "/" + name, r);
        } else if (!S_ISREG(st.st_mode)) {
            w.skipped.push_back({r, TreeSkip::Special});
        } else if (remote.size() >= DIR_CAP) {
            w.skipped.push_back({r, TreeSkip::DirTooLong});
        } else if (name.size() >= NAME_CAP) {
            w.skipped.push_back({r, TreeSkip::NameTooLong});
        } else {
            w.files.push_back({path, remote, name});
        }
    }
}

} // namespace

const char *tree_skip_text(const TreeSkipped &s) {
    switch (s.why) {
    case TreeSkip::DirTooLong:
        return "its remote directory is longer than 95 bytes";
    case TreeSkip::NameTooLong:
        return "its name is longer than 31 bytes";
    case TreeSkip::Symlink:
        return "a symbolic link, not followed";
    case TreeSkip::Special:
        return "not a regular file or directory";
    case TreeSkip::Unreadable:
        return strerror(s.error);
    }
    return "";
}

bool tree_excluded(const std::string &rel, const std::vector<std::string> &patterns) {
    std::size_t slash = rel.rfind('/');
    const char *name = rel.c_str() + (slash == std::string::npos ? 0 : slash + 1);
    for (const auto &pat : patterns) {
        bool whole = pat.find('/') != std::string::npos;
        if (fnmatch(pat.c_str(), whole ? rel.c_str() : name, 0) == 0)
            return true;
    }
    return false;
}

int tree_walk(const std::string &root, const std::string &remote_root,
              const std::vector<std::string> &excludes, std::vector<TreeFile> &files,
              std::vector<TreeSkipped> &skipped) {
    struct stat st;
    if (stat(root.c_str(), &st) != 0)
        return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    std::string local = root, remote = remote_root;
    while (local.size() > 1 && local.back() == '/')
        local.pop_back();
    while (remote.size() > 1 && remote.back() == '/')
        remote.pop_back();
    Walk w{excludes, files, skipped};
    walk_dir(w, local, remote, "");
    return 0;
}

} // namespace station
