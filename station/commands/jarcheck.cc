#include "jarcheck.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t END_RECORD = 22;                  // the end of central directory
constexpr std::size_t END_SEARCH = END_RECORD + 0xFFFF; // it may carry a comment that long
constexpr std::uint64_t MAX_DIRECTORY = 64u << 20;      // a central directory we read whole
constexpr std::size_t MAX_SEEN = 4;                     // top-level names shown

std::uint32_t le16(const unsigned char *p) {
    return static_cast<std::uint32_t>(p[0] | p[1] << 8);
}
std::uint32_t le32(const unsigned char *p) {
    return le16(p) | le16(p + 2) << 16;
}
std::uint64_t le64(const unsigned char *p) {
    return le32(p) | static_cast<std::uint64_t>(le32(p + 4)) << 32;
}

// Reads n bytes at offset; false on a short read or an error (errno set).
bool read_at(int fd, std::uint64_t offset, unsigned char *buf, std::size_t n) {
    std::size_t got = 0;
    while (got < n) {
        ssize_t r = pread(fd, buf + got, n - got, static_cast<off_t>(offset + got));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0) {
            if (r == 0)
                errno = 0;
            return false;
        }
        got += static_cast<std::size_t>(r);
    }
    return true;
}

struct Directory {
    std::uint64_t offset = 0, size = 0, entries = 0;
};

// Finds the central directory from the records at the end of the file.
// Returns 0, 1 when it is not a zip archive, 2 on a read error.
int find_directory(int fd, std::uint64_t file_size, Directory &d) {
    if (file_size < END_RECORD)
        return 1;
    std::size_t tail = file_size < END_SEARCH ? static_cast<std::size_t>(file_size) : END_SEARCH;
    std::vector<unsigned char> buf(tail);
    if (!read_at(fd, file_size - tail, buf.data(), tail))
        return errno ? 2 : 1;
    std::size_t at = tail - END_RECORD + 1;
    while (at-- > 0)
        if (memcmp(&buf[at], "PK\5\6", 4) == 0)
            break;
    if (at == static_cast<std::size_t>(-1))
        return 1;
    const unsigned char *e = &buf[at];
    d.entries = le16(e + 10);
    d.size = le32(e + 12);
    d.offset = le32(e + 16);
    if (d.entries == 0xFFFF || d.size == 0xFFFFFFFF || d.offset == 0xFFFFFFFF) {
        // A zip64 archive: its own end record, found through the locator before ours.
        std::uint64_t end_at = file_size - tail + at;
        unsigned char loc[20], rec[56];
        if (end_at < sizeof loc || !read_at(fd, end_at - sizeof loc, loc, sizeof loc) ||
            memcmp(loc, "PK\6\7", 4) != 0)
            return 1;
        if (!read_at(fd, le64(loc + 8), rec, sizeof rec) || memcmp(rec, "PK\6\6", 4) != 0)
            return 1;
        d.entries = le64(rec + 32);
        d.size = le64(rec + 40);
        d.offset = le64(rec + 48);
    }
    return d.offset + d.size <= file_size ? 0 : 1;
}

void note_top(std::string_view name, char *seen, std::size_t cap, std::size_t &count) {
    std::size_t slash = name.find('/');
    std::string_view top =
        name.substr(0, slash == std::string_view::npos ? name.size() : slash + 1);
    if (top.empty() || count > MAX_SEEN || cap == 0)
        return;
    // Names already noted are not repeated.
    std::string_view have(seen);
    for (std::size_t p = 0; p < have.size();) {
        std::size_t e = have.find(", ", p);
        e = e == std::string_view::npos ? have.size() : e;
        if (have.substr(p, e - p) == top)
            return;
        p = e + 2;
    }
    std::size_t len = have.size();
    const char *text = count == MAX_SEEN ? "..." : nullptr;
    snprintf(seen + len, cap - len, "%s%.*s", len ? ", " : "",
             text ? 3 : static_cast<int>(top.size()), text ? text : top.data());
    count++;
}

} // namespace

JarLayout jar_check(const char *path, const char *app, char *seen, std::size_t cap, int *err) {
    if (cap > 0)
        seen[0] = '\0';
    *err = 0;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *err = errno;
        return JarLayout::Unreadable;
    }
    struct stat st;
    Directory d;
    int found = fstat(fd, &st) < 0 ? 2
                : !S_ISREG(st.st_mode)
                    ? 1
                    : find_directory(fd, static_cast<std::uint64_t>(st.st_size), d);
    if (found == 2) {
        *err = errno;
        close(fd);
        return JarLayout::Unreadable;
    }
    if (found == 1 || d.size > MAX_DIRECTORY) {
        close(fd);
        return JarLayout::NotZip;
    }
    std::vector<unsigned char> dir(static_cast<std::size_t>(d.size));
    if (!read_at(fd, d.offset, dir.data(), dir.size())) {
        *err = errno;
        close(fd);
        return *err ? JarLayout::Unreadable : JarLayout::NotZip;
    }
    close(fd);
    std::string_view a(app);
    std::size_t p = 0, count = 0;
    bool app_found = false;
    for (std::uint64_t i = 0; i < d.entries; i++) {
        if (p + 46 > dir.size() || memcmp(&dir[p], "PK\1\2", 4) != 0)
            return JarLayout::NotZip;
        std::size_t nlen = le16(&dir[p + 28]), xlen = le16(&dir[p + 30]), clen = le16(&dir[p + 32]);
        if (p + 46 + nlen > dir.size())
            return JarLayout::NotZip;
        std::string_view name(reinterpret_cast<const char *>(&dir[p + 46]), nlen);
        if (name.size() > a.size() + 1 && name.starts_with(a) && name[a.size()] == '/') {
            std::string_view rest = name.substr(a.size() + 1);
            if (rest.starts_with("data/") || rest.starts_with("java/") || rest == "data" ||
                rest == "java")
                app_found = true;
        }
        note_top(name, seen, cap, count);
        p += 46 + nlen + xlen + clen;
    }
    return app_found ? JarLayout::Ok : JarLayout::NoApp;
}
