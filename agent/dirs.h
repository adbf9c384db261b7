// Directory utilities of the agent.
#pragma once

// Creates the directories above the last component of path (always from the root),
// mode 0777. Returns 0 on success, else the errno value of the failing creation.
int makedir(const char *path);

// Removes the file or directory tree at path (a symbolic link is removed itself).
// Returns 0 on success or when nothing is there, 2 after logging a failure. Changes the
// current directory: after success it is the parent of a removed directory.
int rmdir_recursive(const char *path);

// True when path exists and is a directory, symbolic links followed.
bool is_directory(const char *path);

// The check every file operation makes of its target: true, after logging
// "The file %s is a directory", when path names a directory.
bool target_is_directory(const char *path);
