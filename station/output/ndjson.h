// JSON results, one object per line (NDJSON), built in a fixed buffer and written with
// one write so that lines of concurrent writers never mix.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr std::size_t JSON_LINE_CAP = 8192;

struct JsonLine {
    char buf[JSON_LINE_CAP];
    std::size_t len = 0;
    bool full = false; // something did not fit; the line is not written
};

// Starts an object.
void json_begin(JsonLine &j);

// Adds "key":"value" with the value escaped (quotes, backslashes, control characters;
// bytes that are not UTF-8 become U+FFFD).
void json_str(JsonLine &j, const char *key, const char *value);

// Adds "key":value for an integer, a number with three decimals, or true/false.
void json_int(JsonLine &j, const char *key, std::int64_t value);
void json_num(JsonLine &j, const char *key, double value);
void json_bool(JsonLine &j, const char *key, bool value);

// Adds "key":null.
void json_null(JsonLine &j, const char *key);

// Ends the object and the line. Returns false when the line did not fit.
bool json_end(JsonLine &j);

// Writes the ended line to fd with one write. Returns 0, or -1 when it did not fit or
// the write failed.
int json_write(const JsonLine &j, int fd);

// Writes value escaped for a JSON string (without the quotes) into out; returns the
// length it needs, which is cap or more when it was cut (out is then not terminated
// past cap - 1).
std::size_t json_escape(const char *value, char *out, std::size_t cap);
