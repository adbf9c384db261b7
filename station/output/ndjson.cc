#include "ndjson.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {

// The length of the UTF-8 sequence at s (1 to 4), or 0 when it is not one.
std::size_t utf8_length(const unsigned char *s) {
    unsigned c = s[0];
    std::size_t n = c >= 0xF0 && c <= 0xF4 ? 4 : c >= 0xE0 ? 3 : c >= 0xC2 && c < 0xE0 ? 2 : 0;
    if (n == 0)
        return 0;
    for (std::size_t i = 1; i < n; i++)
        if ((s[i] & 0xC0) != 0x80)
            return 0;
    // Overlong forms, surrogates and values beyond U+10FFFF are not UTF-8.
    if (n == 3 && ((c == 0xE0 && s[1] < 0xA0) || (c == 0xED && s[1] >= 0xA0)))
        return 0;
    if (n == 4 && ((c == 0xF0 && s[1] < 0x90) || (c == 0xF4 && s[1] >= 0x90)))
        return 0;
    return n;
}

void put(JsonLine &j, const char *s, std::size_t n) {
    if (j.full || j.len + n > sizeof j.buf) {
        j.full = true;
        return;
    }
    memcpy(j.buf + j.len, s, n);
    j.len += n;
}

void put(JsonLine &j, const char *s) {
    put(j, s, strlen(s));
}

void key(JsonLine &j, const char *k) {
    if (j.len > 1)
        put(j, ",");
    put(j, "\"");
    put(j, k);
    put(j, "\":");
}

} // namespace

std::size_t json_escape(const char *value, char *out, std::size_t cap) {
    std::size_t len = 0;
    auto add = [&](const char *s, std::size_t n) {
        for (std::size_t i = 0; i < n; i++, len++)
            if (len + 1 < cap)
                out[len] = s[i];
    };
    const auto *s = reinterpret_cast<const unsigned char *>(value);
    while (*s) {
        unsigned c = *s;
        char esc[8];
        if (c == '"' || c == '\\') {
            esc[0] = '\\';
            esc[1] = static_cast<char>(c);
            add(esc, 2);
            s++;
        } else if (c == '\n' || c == '\t' || c == '\r') {
            add(c == '\n' ? "\\n" : c == '\t' ? "\\t" : "\\r", 2);
            s++;
        } else if (c < 0x20 || c == 0x7F) {
            snprintf(esc, sizeof esc, "\\u%04x", c);
            add(esc, 6);
            s++;
        } else if (c < 0x80) {
            add(reinterpret_cast<const char *>(s), 1);
            s++;
        } else if (std::size_t n = utf8_length(s)) {
            add(reinterpret_cast<const char *>(s), n);
            s += n;
        } else {
            add("\\ufffd", 6);
            s++;
        }
    }
    if (cap > 0)
        out[len < cap ? len : cap - 1] = '\0';
    return len;
}

void json_begin(JsonLine &j) {
    j.len = 0;
    j.full = false;
    put(j, "{");
}

void json_str(JsonLine &j, const char *k, const char *value) {
    key(j, k);
    put(j, "\"");
    if (!j.full) {
        std::size_t room = sizeof j.buf - j.len;
        std::size_t n = json_escape(value, j.buf + j.len, room);
        if (n >= room)
            j.full = true;
        else
            j.len += n;
    }
    put(j, "\"");
}

void json_int(JsonLine &j, const char *k, std::int64_t value) {
    char num[32];
    snprintf(num, sizeof num, "%lld", static_cast<long long>(value));
    key(j, k);
    put(j, num);
}

void json_num(JsonLine &j, const char *k, double value) {
    char num[48];
    snprintf(num, sizeof num, "%.3f", value);
    key(j, k);
    put(j, num);
}

void json_bool(JsonLine &j, const char *k, bool value) {
    key(j, k);
    put(j, value ? "true" : "false");
}

void json_null(JsonLine &j, const char *k) {
    key(j, k);
    put(j, "null");
}

bool json_end(JsonLine &j) {
    put(j, "}\n");
    return !j.full;
}

int json_write(const JsonLine &j, int fd) {
    if (j.full)
        return -1;
    ssize_t w;
    do
        w = write(fd, j.buf, j.len);
    while (w < 0 && errno == EINTR);
    return w == static_cast<ssize_t>(j.len) ? 0 : -1;
}
