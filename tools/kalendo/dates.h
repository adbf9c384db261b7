// Date arithmetic of kalendo: reading dates, times and numbers from the command line,
// the daylight-saving correction and the formatting of one value, all in local time.
#pragma once

#include <cstddef>
#include <ctime>

// Size of the buffer one formatted value is written into; it is also the scratch space
// for the digit groups of a date or time.
inline constexpr std::size_t VALUE_SIZE = 100;

// Longest "-f" format kept (characters, without the terminator).
inline constexpr std::size_t FORMAT_MAX = 99;

// The value of text read as atoi reads it (leading blanks, a sign, digits up to the
// first non-digit, 0 without digits), held at the bounds of long long instead of
// overflowing.
long long leading_number(const char *text);

// The same, held at the bounds of int.
int leading_int(const char *text);

// Reads an 8-character date yyyymmdd into tm (year, month and day; time of day 00:00:00,
// daylight-saving flag -1). The groups go through leading_int unverified, so "19970230"
// reads as day 30 of February. Returns 0, or -1 (tm untouched) when text is not exactly
// 8 characters long.
int parse_date(const char *text, std::tm *tm);

// Reads a 6-character time hhmmss into the time-of-day fields of tm. Returns 0, or -1
// (tm untouched) when text is not exactly 6 characters long.
int parse_time(const char *text, std::tm *tm);

// The daylight-saving flag of t in local time: >0 summer time, 0 standard time, <0
// unknown (also when t cannot be broken down).
int dst_flag(std::time_t t);

// Keeps the wall-clock time of day of *t across a change between standard and summer
// time: d0 is the flag before the last step; when *t has left summer time it moves one
// hour later, when it has entered summer time one hour earlier. Returns 1 when *t was
// changed, 0 otherwise.
int dst_correct(std::time_t *t, int d0);

// Formats the local time of t with format into out (VALUE_SIZE bytes). A value that
// does not fit, or a time that cannot be broken down, leaves out empty. Returns the
// length written.
std::size_t format_value(std::time_t t, const char *format, char *out);
