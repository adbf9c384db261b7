// The local side of `sync -r`: the regular files of a directory tree with the remote
// places they go to, and every entry that cannot go, with the reason.
#pragma once

#include <string>
#include <vector>

namespace station {

// A file to send: local path, remote directory and name.
struct TreeFile {
    std::string local, dir, name;
};

enum class TreeSkip {
    DirTooLong,  // its remote directory is longer than the agent takes (95 bytes)
    NameTooLong, // its name is longer than the agent takes (31 bytes)
    Symlink,     // a symbolic link; never followed
    Special,     // neither a regular file nor a directory (device, pipe, socket)
    Unreadable,  // its state or the directory could not be read (error kept)
};

// An entry left out, by its path relative to the tree's root.
struct TreeSkipped {
    std::string rel;
    TreeSkip why;
    int error = 0; // with Unreadable: errno
};

// The text that says why an entry was left out ("name longer than 31 bytes", ...).
const char *tree_skip_text(const TreeSkipped &s);

// True when the relative path rel is excluded by one of the shell patterns: a pattern
// with a '/' is matched against the whole relative path, one without against the
// entry's own name, so that "*.tmp" leaves such files out at every depth.
bool tree_excluded(const std::string &rel, const std::vector<std::string> &patterns);

// Walks root (entries in name order, directories depth first) and collects every
// regular file not excluded as remote_root/RELATIVE-DIRECTORY and its name; an excluded
// directory is not entered. Returns 0, or -1 with errno when root itself is not a
// readable directory.
int tree_walk(const std::string &root, const std::string &remote_root,
              const std::vector<std::string> &excludes, std::vector<TreeFile> &files,
              std::vector<TreeSkipped> &skipped);

} // namespace station
