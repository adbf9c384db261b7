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
    out.argc = 0;
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
        if (out.argc == MAX_AGENT_WORDS)
            return 1;
        char *dst = out.words[out.argc];
        std::size_t n = 0;
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
            if (n + piece.size() > AGENT_WORD_CAP - 1)
                return 1;
            memcpy(dst + n, piece.data(), piece.size());
            n += piece.size();
            word.remove_prefix(skip);
        }
        dst[n] = '\0';
        out.argv[out.argc] = dst;
        out.argc++;
    }
    out.argv[out.argc] = nullptr;
    return out.argc == 0 ? 1 : 0;
}

int agent_resolve(AgentArgv &out, const char *path) {
    if (out.argc == 0)
        return ENOENT;
    if (strchr(out.argv[0], '/'))
        return 0;
    std::string_view dirs(path ? path : "/usr/local/bin:/usr/bin:/bin");
    char candidate[AGENT_WORD_CAP];
    while (true) {
        std::size_t colon = dirs.find(':');
        std::string_view d = dirs.substr(0, colon);
        if (d.empty())
            d = "."; // an empty entry is the current directory
        int n = snprintf(candidate, sizeof candidate, "%.*s/%s", static_cast<int>(d.size()),
                         d.data(), out.argv[0]);
        struct stat st;
        if (n > 0 && static_cast<std::size_t>(n) < sizeof candidate && stat(candidate, &st) == 0 &&
            S_ISREG(st.st_mode) && access(candidate, X_OK) == 0) {
            memcpy(out.words[0], candidate, static_cast<std::size_t>(n) + 1);
            return 0;
        }
        if (colon == std::string_view::npos)
            return ENOENT;
        dirs.remove_prefix(colon + 1);
    }
}
