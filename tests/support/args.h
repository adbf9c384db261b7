// Command lines made in tests for parsers that keep pointers into them.
#pragma once

#include <list>
#include <string>
#include <vector>

namespace testargs {

// argv for prog and args, ended by nullptr. Its texts live as long as the test program,
// so that what a parser keeps of them stays valid.
inline std::vector<char *> argv_of(const char *prog, std::vector<std::string> args) {
    static std::list<std::vector<std::string>> keep;
    args.insert(args.begin(), prog);
    keep.push_back(std::move(args));
    std::vector<char *> argv;
    for (auto &a : keep.back())
        argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

} // namespace testargs
