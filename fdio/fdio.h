// Whole transfers on plain descriptors, the parent directories of a path, and a clock
// for time limits: the few system-call loops that the agent, the station and the site
// program share.
#pragma once

#include <cstddef>
#include <sys/types.h>

// Writes all n bytes to fd, repeating after a signal. Returns true when every byte went
// out; false when a write failed (errno tells why) or took nothing.
bool write_all(int fd, const void *p, std::size_t n);

// Reads up to n bytes from fd, repeating after a signal. Returns the number read: n, or
// fewer only at end of file or after a failed read.
std::size_t read_full(int fd, void *p, std::size_t n);

// Creates the directories above the last component of path with the given mode, always
// from the root (a relative path is taken as if it began with "/"); directories that
// exist already, or vanish meanwhile, are passed over. Returns 0, ENAMETOOLONG for a
// path of 256 bytes or more (refused rather than cut: a cut path would create
// directories nobody asked for), or the errno value of the creation that failed.
int make_parent_dirs(const char *path, mode_t mode);

// Milliseconds on the monotonic clock, for deadlines that the wall clock must not move.
long long monotonic_ms();
