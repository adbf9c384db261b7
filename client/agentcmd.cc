#include "agentcmd.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr std::string_view PLACEHOLDER = "{host}";
constexpr std::string_view KEY_PLACEHOLDER = "{hostkey}";
} // namespace

void host_key(const char *host, char *out, std::size_t cap) {
    // FNV-1a, 64 bits: short and fixed in length, whatever the name.
    std::uint64_t h = 14695981039346656037ULL;
    for (const char *c = host; *c; c++)
        h = (h ^ static_cast<unsigned char>(*c)) * 1099511628211ULL;
    snprintf(out, cap, "%016llx", static_cast<unsigned long long>(h));
}

bool agent_needs_host(const char *tmpl) {
    std::string_view t(tmpl);
    return t.find(PLACEHOLDER) != t.npos || t.find(KEY_PLACEHOLDER) != t.npos;
}

int agent_argv(const char *tmpl, const char *host, AgentArgv &out) {
    out.words.clear();
    std::string_view rest(tmpl);
    std::string_view h(host);
    char key[HOST_KEY_CAP];
    host_key(host, key, sizeof key);
    while (true) {
        std::size_t start = rest.find_first_not_of(" \t\n");
        if (start == std::string_view::npos)
            break;
        rest.remove_prefix(start);
        std::size_t end = rest.find_first_of(" \t\n");
        std::string_view word = rest.substr(0, end);
        rest.remove_prefix(word.size());
        std::string &dst = out.words.emplace_back();
        while (!word.empty()) {
            std::string_view piece = word;
            std::size_t skip = 0;
            if (word.starts_with(PLACEHOLDER)) {
                piece = h;
                skip = PLACEHOLDER.size();
            } else if (word.starts_with(KEY_PLACEHOLDER)) {
                piece = key;
                skip = KEY_PLACEHOLDER.size();
            } else {
                piece =
                    word.substr(0, std::min(word.find(PLACEHOLDER), word.find(KEY_PLACEHOLDER)));
                skip = piece.size();
            }
            dst += piece;
            word.remove_prefix(skip);
        }
    }
    return out.words.empty() ? 1 : 0;
}

int agent_resolve(AgentArgv &out, const char *path) {
    if (out.words.empty())
        return ENOENT;
    if (out.words[0].find('/') != std::string::npos)
        return 0;
    std::string_view dirs(path ? path : "/usr/local/bin:/usr/bin:/bin");
    while (true) {
        std::size_t colon = dirs.find(':');
        std::string_view d = dirs.substr(0, colon);
        if (d.empty())
            d = "."; // an empty entry is the current directory
        std::string candidate(d);
        candidate += '/';
        candidate += out.words[0];
        struct stat st;
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) &&
            access(candidate.c_str(), X_OK) == 0) {
            out.words[0] = std::move(candidate);
            return 0;
        }
        if (colon == std::string_view::npos)
            return ENOENT;
        dirs.remove_prefix(colon + 1);
    }
}
