// Host expressions of -H and -x: any text either expands or is refused with a position
// inside it, and the fold of an expansion expands back to exactly the same hosts.
#include "hostset.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::vector<std::string> names_of(const HostSet &s) {
    std::vector<std::string> v = s.names;
    std::sort(v.begin(), v.end());
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    // No host file and no file of hosts: "^" would read this machine's files.
    std::string expr(reinterpret_cast<const char *>(data), std::min<std::size_t>(size, 512));
    std::replace(expr.begin(), expr.end(), '\0', ' ');
    std::replace(expr.begin(), expr.end(), '^', '~');
    HostSources none;
    HostFault fault;
    HostSet first, again;
    if (hostset_add(first, expr.c_str(), "-H", none, fault) != 0) {
        if (fault.column < 1 || fault.column > expr.size() + 1)
            std::abort(); // a fault must point into the text (or just past its end)
        return 0;
    }
    std::vector<const char *> ptrs;
    for (auto &name : first.names)
        ptrs.push_back(name.c_str());
    std::string folded = hostset_fold(ptrs.data(), ptrs.size());
    if (!first.names.empty() && hostset_add(again, folded.c_str(), "-H", none, fault) != 0)
        std::abort(); // a fold the parser refuses
    if (names_of(first) != names_of(again))
        std::abort(); // a fold that stands for other hosts
    return 0;
}
