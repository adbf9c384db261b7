// oldscan: how long ago files were last modified.
#pragma once

#include <cstddef>
#include <cstdio>

// Size of the text buffer an age is written into.
inline constexpr std::size_t AGE_SIZE = 256;

// Size of the buffer one name of a list is read into (longest name: NAME_SIZE - 1).
inline constexpr std::size_t NAME_SIZE = 4096;

// Seconds in each unit of the unit options.
inline constexpr unsigned SECONDS = 1, MINUTES = 60, HOURS = 3600, DAYS = 86400, WEEKS = 604800;

// The time since path (links followed) was last modified, in whole units, written as
// decimal text into out (AGE_SIZE bytes). The age is taken modulo 2^32, so a
// modification time in the future gives a large number. Returns 0; or -1 when path
// cannot be examined, after writing the system's message for it to standard error
// (out is then untouched).
int format_age(const char *path, char *out, unsigned unit);

// Reads the next whitespace-separated word of in into name (NAME_SIZE bytes).
// Returns 1 for a word, 0 at the end of input or on a read error, and -1 for a word
// too long for the buffer: its whole length is consumed and name holds its first
// NAME_SIZE - 1 characters.
int read_name(std::FILE *in, char *name);
