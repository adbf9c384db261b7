// Directory utilities: creating the directories above a path and removing a tree.
#include "dirs.h"

#include "fdio.h"
#include "log.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

int makedir(const char *path) {
    return make_parent_dirs(path, 0777);
}

int rmdir_recursive(const char *path) {
    struct stat st;
    if (lstat(path, &st) < 0) {
        errno = ENOENT;
        return 0;
    }
    if (!S_ISDIR(st.st_mode)) {
        if (unlink(path) == 0)
            return 0;
        log_entry("Could not unlink %s (%s)", path, std::strerror(errno));
        return 2;
    }
    if (chdir(path) < 0) {
        log_entry("Can't change to path %s (%s)", path, std::strerror(errno));
        return 2;
    }
    DIR *d = opendir(".");
    if (!d) {
        log_entry("Can't open directory %s (%s)", path, std::strerror(errno));
        return 2;
    }
    while (dirent *e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0)
            continue;
        if (rmdir_recursive(e->d_name) != 0) {
            closedir(d);
            return 2;
        }
    }
    closedir(d);
    if (chdir("..") < 0) {
        log_entry("Can't go back from directory %s (%s)", path, std::strerror(errno));
        return 2;
    }
    if (rmdir(path) < 0) {
        log_entry("Can't remove directory %s (%s)", path, std::strerror(errno));
        return 2;
    }
    return 0;
}

bool is_directory(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool target_is_directory(const char *path) {
    if (!is_directory(path))
        return false;
    log_entry("The file %s is a directory", path);
    return true;
}
