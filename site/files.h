// File helpers of the site's set-up: directories made with their parents, programs and
// scripts copied into the views.
#pragma once

#include <string>
#include <sys/types.h>

// Copies src to dst (created or truncated) and sets mode. Returns 0 or an errno value.
int copy_file(const char *src, const char *dst, mode_t mode);

// Creates the absolute directory dir and its missing parents with mode. Returns 0, or an
// errno value (ENOTDIR when something else stands at dir, ENAMETOOLONG for 254 bytes
// or more).
int make_dirs(const std::string &dir, mode_t mode);
