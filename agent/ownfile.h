// Files the agent writes or reads where other accounts of the host can write too (a
// drop directory of mode 1777, a tree owned by an application's user): nothing planted
// there is written through, and nothing there makes the agent wait.
#pragma once

#include <sys/types.h>

// Opens path for writing as a regular file of the agent's own: created (exclusively,
// with mode) when missing, opened when it is already a regular file owned by the
// agent's user with a single link, and never truncated. Anything else at path (a
// symbolic link, named pipe, socket, device, or a regular file another user made or
// linked) is removed first, and never opened. extra_flags is added to the open
// (O_APPEND). Returns the descriptor (close-on-exec, blocking), or -1 with errno set.
int open_own(const char *path, int extra_flags, mode_t mode);

// As open_own, and the file emptied: the replacement of open with O_CREAT | O_TRUNC.
int open_own_empty(const char *path, mode_t mode);

// True when st describes a file open_own would open: regular, owned by the agent's
// user, one link.
bool is_own_file(const struct stat &st);

// Opens path for reading when it is a regular file (symbolic links followed), without
// ever waiting on what it opens. Returns the descriptor (close-on-exec), or -1 with
// errno set: ENXIO for a named pipe, socket or device.
int open_regular(const char *path);
