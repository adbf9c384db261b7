// epochify: a local date and time, in the United States order, as epoch seconds.
#pragma once

#include <cstddef>
#include <ctime>

// Size of the working copy of each argument; longer arguments are refused.
inline constexpr std::size_t ARG_SIZE = 100;

// The local time year-month-day hour:minute:second as mktime gives it (year in full,
// month and day counted from 1, daylight saving decided by the library). Out-of-range
// fields are normalised by mktime; its failure value -1 is returned like any other.
std::time_t epochify(int year, int month, int day, int hour, int minute, int second);

// Splits text in place at every character sep, as strtok does (a run of separators
// counts as one; none at either end makes an empty field), keeping at most max fields
// in fields[]. Returns the number of fields kept.
int split_fields(char *text, char sep, char **fields, int max);

// The number at the start of text, read as atoi reads it, held at the bounds of int.
int field_value(const char *text);

// The full year of a date field: a field of exactly two characters is a short year,
// 30 to 99 giving 1930 to 1999 and anything less 2000 onwards; any other field is the
// year as it reads.
int full_year(const char *field);
