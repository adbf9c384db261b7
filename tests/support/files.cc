#include "files.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace testfiles {

std::string read_file(const std::string &path) {
    // Plain reads: a file of /proc whose process ends meanwhile fails a read (ESRCH),
    // which a stream would throw for; what came before it is the answer.
    std::string data;
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return data;
    char buf[65536];
    for (;;) {
        ssize_t k = read(fd, buf, sizeof buf);
        if (k < 0 && errno == EINTR)
            continue;
        if (k <= 0)
            break;
        data.append(buf, static_cast<std::size_t>(k));
    }
    close(fd);
    return data;
}

void write_file(const std::string &path, const std::string &data) {
    std::filesystem::path p(path);
    if (p.has_parent_path())
        std::filesystem::create_directories(p.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

std::vector<std::string> log_messages(const std::string &log) {
    std::vector<std::string> lines;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line))
        if (line.size() >= 9 && line[2] == ':' && line[5] == ':' && line[8] == ' ')
            lines.push_back(line.substr(9));
    return lines;
}

std::string capture_stderr(const std::function<void()> &f) {
    char path[] = "/tmp/tarko-stderr.XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0)
        return "";
    std::fflush(stderr);
    int saved = fcntl(2, F_DUPFD_CLOEXEC, 0); // not for the children to keep
    dup2(fd, 2);
    close(fd);
    f();
    std::fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string out = read_file(path);
    unlink(path);
    return out;
}

std::string read_stream(FILE *f) {
    std::string s;
    rewind(f);
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    return s;
}

} // namespace testfiles
