// The local side of `sync -r` over small trees built from the input under a private
// temporary directory: every file found fits the agent's fields, maps to the remote root
// plus its relative directory, and every regular entry not excluded is found or skipped
// exactly once; links are never followed and excluded directories never entered.
#include "fuzz_input.h"
#include "protocol.h"
#include "treewalk.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

// A private directory for the trees, made once and removed when the process ends.
char base[] = "/tmp/treewalk_fuzz_XXXXXX";

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    if (!mkdtemp(base))
        std::abort();
    std::atexit([] { std::filesystem::remove_all(base); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzzin::Script script(data, size);
    std::vector<std::string> texts = fuzzin::split_nul(script.data, 12);
    std::string root = std::string(base) + "/t";
    std::filesystem::remove_all(root);
    mkdir(root.c_str(), 0755);
    // Each script byte adds one entry under the last directory made (or the root).
    std::map<std::string, bool> regular; // relative path -> is a regular file
    std::vector<std::string> dirs{""};
    std::string remote = texts.size() > 1 ? texts[0] : "/srv";
    std::vector<std::string> excludes;
    for (std::size_t i = 0; i < script.ops.size() && i + 1 < texts.size(); i++) {
        std::string name = texts[i + 1];
        // The file system sees a name only up to its first NUL, and a '/' would make it
        // a path: neither can be in an entry's name.
        for (auto &c : name)
            if (c == '/' || c == '\0')
                c = '_';
        if (name.empty() || name == "." || name == ".." || name.size() > 200)
            continue;
        unsigned char op = script.ops[i];
        if (op % 8 == 7) {
            excludes.push_back(name);
            continue;
        }
        const std::string &parent = dirs[op / 8 % dirs.size()];
        std::string rel = parent.empty() ? name : parent + "/" + name;
        std::string path = root + "/" + rel;
        switch (op % 4) {
        case 0:
            if (mkdir(path.c_str(), 0755) == 0)
                dirs.push_back(rel);
            break;
        case 1:
            (void)symlink(root.c_str(), path.c_str());
            break;
        case 2:
            (void)mkfifo(path.c_str(), 0644);
            break;
        default: {
            // Never through a link, and never waiting for a reader on a pipe made
            // earlier under the same name.
            int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK, 0644);
            struct stat st;
            if (fd >= 0 && fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
                regular[rel] = true;
            if (fd >= 0)
                close(fd);
        }
        }
    }
    std::vector<station::TreeFile> files;
    std::vector<station::TreeSkipped> skipped;
    if (station::tree_walk(root, remote, excludes, files, skipped) != 0)
        fuzzin::fail("the root could not be walked");
    std::map<std::string, int> seen;
    for (const auto &f : files) {
        if (f.dir.size() >= DIR_CAP || f.name.size() >= NAME_CAP)
            fuzzin::fail("a file's dir or name does not fit: %s / %s", f.dir.c_str(),
                         f.name.c_str());
        if (f.name.find('/') != std::string::npos)
            fuzzin::fail("a name holds a slash: %s", f.name.c_str());
        std::string rel = f.local.substr(root.size() + 1);
        seen[rel]++;
    }
    for (const auto &s : skipped)
        seen[s.rel]++;
    for (const auto &[rel, n] : seen)
        if (n != 1)
            fuzzin::fail("%s found %d times", rel.c_str(), n);
    // Nothing excluded is found or skipped, nor anything inside an excluded directory.
    for (const auto &[rel, n] : seen) {
        if (station::tree_excluded(rel, excludes))
            fuzzin::fail("excluded %s was found", rel.c_str());
        for (const auto &d : dirs)
            if (!d.empty() && rel.starts_with(d + "/") && station::tree_excluded(d, excludes))
                fuzzin::fail("%s was found inside excluded directory %s", rel.c_str(), d.c_str());
    }
    for (const auto &[rel, reg] : regular) {
        bool excluded = false;
        for (std::size_t at = 0; !excluded && at != std::string::npos; at = rel.find('/', at + 1))
            excluded = station::tree_excluded(at == 0 ? rel : rel.substr(0, at), excludes);
        if (!excluded && seen.count(rel) == 0)
            fuzzin::fail("regular file %s neither found nor skipped", rel.c_str());
    }
    std::filesystem::remove_all(root);
    return 0;
}
