#include "agentcmd.h"

#include <cstring>
#include <string_view>

namespace {
constexpr std::string_view kPlaceholder = "{host}";
}

bool agent_needs_host(const char *tmpl) {
    return strstr(tmpl, "{host}") != nullptr;
}

int agent_argv(const char *tmpl, const char *host, AgentArgv &out) {
    out.argc = 0;
    std::string_view rest(tmpl);
    std::string_view h(host);
    while (true) {
        std::size_t start = rest.find_first_not_of(" \t\n");
        if (start == std::string_view::npos)
            break;
        rest.remove_prefix(start);
        std::size_t end = rest.find_first_of(" \t\n");
        std::string_view word = rest.substr(0, end);
        rest.remove_prefix(word.size());
        if (out.argc == kMaxAgentWords)
            return 1;
        char *dst = out.words[out.argc];
        std::size_t n = 0;
        while (!word.empty()) {
            std::string_view piece = word;
            std::size_t skip = 0;
            if (word.starts_with(kPlaceholder)) {
                piece = h;
                skip = kPlaceholder.size();
            } else {
                std::size_t at = word.find(kPlaceholder);
                piece = word.substr(0, at);
                skip = piece.size();
            }
            if (n + piece.size() > kAgentWordCap - 1)
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
