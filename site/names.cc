#include "names.h"

#include <cstring>

bool valid_name(const char *name) {
    std::size_t n = std::strlen(name);
    if (n == 0 || n > kMaxName || name[0] == '-' || name[0] == '.')
        return false;
    for (std::size_t i = 0; i < n; i++) {
        char c = name[i];
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '-' || c == '.';
        if (!ok)
            return false;
    }
    return true;
}

std::string socket_name(const char *site) {
    return std::string("simsite.") + site;
}
