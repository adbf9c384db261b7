// The README's sessions, run line by line as they are written, from a directory laid out
// as the top of a checkout after building (examples/ and build/bin), on a simulated site:
// a README whose lines name files that do not exist, or options that changed, fails here.
// Only the site's name is made this test's own, so that it cannot meet a user's "lab".
#include "files.h"
#include "proc.h"
#include "site.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The indented command blocks of the README's section that starts with heading.
std::vector<std::vector<std::string>> blocks_of(const std::string &heading) {
    std::istringstream in(testfiles::read_file(SOURCE_DIR "/README.md"));
    std::vector<std::vector<std::string>> blocks;
    std::string line;
    bool inside = false, in_block = false;
    while (std::getline(in, line)) {
        if (line.rfind("## ", 0) == 0) {
            inside = line == heading;
            continue;
        }
        bool code = line.rfind("    ", 0) == 0;
        if (inside && code && !in_block)
            blocks.emplace_back();
        if (inside && code)
            blocks.back().push_back(line.substr(4));
        in_block = code || (in_block && line.empty());
    }
    return blocks;
}

class ReadmeSession : public ::testing::Test {
  protected:
    std::string top, site;

    void SetUp() override {
        char tmpl[] = "/tmp/readme_session_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        top = tmpl;
        site = "readme" + std::to_string(getpid());
        std::string cmd = "mkdir -p '" + top + "/build' && ln -s '" SOURCE_DIR "/examples' '" +
                          top + "/examples' && ln -s '" BIN_DIR "' '" + top + "/build/bin'";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    void TearDown() override {
        testproc::run({testsite::simsite(), "down", site});
        ASSERT_EQ(system(("rm -rf '" + top + "'").c_str()), 0);
    }

    // Runs the lines with bash, each shown before it runs, stopping at the first that fails.
    testproc::Result run(const std::vector<std::string> &lines, int timeout_ms) {
        static const std::regex lab(R"((simsite (up|up --net|exec|link|path|status|down)) lab\b)");
        std::string script = "set -ex\n";
        for (auto &l : lines)
            script += std::regex_replace(l, lab, "$1 " + site) + "\n";
        testproc::Options o;
        o.cwd = top.c_str();
        o.timeout_ms = timeout_ms;
        o.env.push_back("XDG_STATE_HOME=" + top + "/state");
        o.unset = {"TARKO_AGENT", "TARKO_HOSTS", "TARKO_TRANSPORT"};
        return testproc::run({"/bin/bash", "-c", script}, o);
    }
};

TEST_F(ReadmeSession, TheStationSessionsRunAsWritten) {
    std::string why;
    if (!testsite::available(&why))
        GTEST_SKIP() << "simulated site unavailable: " << why;
    if (system("command -v jar >/dev/null || command -v zip >/dev/null") != 0)
        GTEST_SKIP() << "neither jar nor zip is installed (examples/make-app-jar)";
    auto blocks = blocks_of("## Working with the station");
    ASSERT_GE(blocks.size(), 2u);
    ASSERT_EQ(blocks[0].back().rfind("simsite down lab", 0), 0u) << "the session ends its site";
    auto r = run(blocks[0], 120000);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.err.find("no host left to work on"), std::string::npos) << r.err;
    EXPECT_NE(testproc::run({testsite::simsite(), "status", site}).status, 0) << "left up";

    // The same shell session goes on: the exports of the first block hold.
    auto after_session = [&](const std::vector<std::string> &block) {
        std::vector<std::string> lines;
        for (auto &l : blocks[0])
            if (l.rfind("export ", 0) == 0)
                lines.push_back(l);
        lines.insert(lines.end(), block.begin(), block.end());
        return lines;
    };
    // The group sources of examples/hosts, when their tools are here.
    ASSERT_GE(blocks.size(), 3u);
    if (system("command -v ansible-inventory >/dev/null && command -v nodeattr >/dev/null") == 0) {
        r = run(after_session(blocks[2]), 60000);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "C\nA\nB\nA\nB\n");
    }

    if (!testsite::net_available(&why))
        GTEST_SKIP() << "networked site unavailable: " << why;
    r = run(after_session(blocks[1]), 240000);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
}

} // namespace
