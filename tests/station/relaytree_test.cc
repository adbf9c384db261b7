// The relay-tree schedule and the exclusion patterns of the tree walk.
#include "relaytree.h"
#include "treewalk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <sys/stat.h>

using namespace station;

namespace {

// Runs the schedule to its end with every transfer taking one step and fail deciding
// each hop; returns the steps and fills served[i] with how often host i got the file.
int run_schedule(std::size_t n, int k, std::function<bool(const Hop &)> fail,
                 std::vector<int> &served, std::vector<Hop> *all = nullptr) {
    TreeState s = tree_start(n, k);
    served.assign(n, 0);
    std::vector<Hop> hops;
    int steps = 0;
    for (;; steps++) {
        tree_next(s, hops);
        if (hops.empty()) {
            EXPECT_EQ(s.in_flight, 0);
            return steps;
        }
        for (const Hop &h : hops) {
            EXPECT_TRUE(h.from == FROM_STATION || s.hosts[h.from] == TreeHost::Holding);
            EXPECT_LE(h.from == FROM_STATION ? 0 : s.sending[h.from], k);
        }
        for (const Hop &h : hops) {
            bool ok = !fail(h);
            served[h.to] += ok;
            if (all)
                all->push_back(h);
            tree_record(s, h, ok);
        }
        EXPECT_LT(steps, 64) << "the schedule does not end";
        if (steps >= 64)
            return steps;
    }
}

} // namespace

TEST(RelayTree, EveryHostServedOnceInLogSteps) {
    // The station serves as one more holder: after t steps 2^t - 1 hosts hold the file.
    for (std::size_t n : {1u, 2u, 12u, 15u, 16u, 64u}) {
        std::vector<int> served;
        std::vector<Hop> hops;
        int steps = run_schedule(
            n, 1, [](const Hop &) { return false; }, served, &hops);
        EXPECT_TRUE(std::all_of(served.begin(), served.end(), [](int v) { return v == 1; })) << n;
        int want = 0;
        while ((std::size_t{1} << want) < n + 1)
            want++;
        EXPECT_EQ(steps, want) << n;
        EXPECT_EQ(std::count_if(hops.begin(), hops.end(),
                                [](const Hop &h) { return h.from == FROM_STATION; }),
                  want)
            << n;
    }
    // Three at a time per holder: 4^t - 1 hosts after t steps.
    std::vector<int> served;
    EXPECT_EQ(run_schedule(
                  16, 3, [](const Hop &) { return false; }, served),
              3);
}

TEST(RelayTree, AFreeHolderServesWithoutWaitingForOthers) {
    // Host 0 is seeded; host 1 (from the station) is slow to arrive. Host 0's push to
    // host 2 ends first, and both go on serving at once.
    TreeState s = tree_start(6, 1);
    std::vector<Hop> hops;
    tree_next(s, hops);
    tree_record(s, hops.at(0), true); // station -> 0
    tree_next(s, hops);
    ASSERT_EQ(hops.size(), 2u); // station -> 1, 0 -> 2
    Hop slow = hops[0], fast = hops[1];
    EXPECT_EQ(slow.from, FROM_STATION);
    tree_record(s, fast, true);
    tree_next(s, hops);
    EXPECT_EQ(hops.size(), 2u); // 0 and 2 serve 3 and 4 while 1 is still on its way
    for (const Hop &h : hops)
        EXPECT_NE(h.from, FROM_STATION);
    tree_record(s, slow, true);
    tree_next(s, hops);
    EXPECT_EQ(hops.size(), 1u); // the station takes the last one
}

TEST(RelayTree, FailedPushesFallBackToTheStation) {
    // Every push from host 0 fails: its targets get the file from the station, and host
    // 0 serves no one after its failure.
    std::vector<int> served;
    std::vector<Hop> hops;
    run_schedule(
        12, 1, [](const Hop &h) { return h.from == 0; }, served, &hops);
    EXPECT_TRUE(std::all_of(served.begin(), served.end(), [](int v) { return v == 1; }));
    EXPECT_EQ(std::count_if(hops.begin(), hops.end(), [](const Hop &h) { return h.from == 0; }), 1);
    // A host that the station cannot serve either is given up, and the rest go on.
    run_schedule(
        12, 1, [](const Hop &h) { return h.to == 5; }, served);
    for (int i = 0; i < 12; i++)
        EXPECT_EQ(served[i], i == 5 ? 0 : 1) << i;
    // The seed host fails: the station goes on with the next one.
    run_schedule(
        4, 1, [](const Hop &h) { return h.to == 0; }, served);
    EXPECT_EQ(served, (std::vector<int>{0, 1, 1, 1}));
}

TEST(TreeWalk, ExclusionPatterns) {
    std::vector<std::string> pats{"*.tmp", "cache", "docs/old/*"};
    EXPECT_TRUE(tree_excluded("a.tmp", pats));
    EXPECT_TRUE(tree_excluded("x/y/a.tmp", pats));
    EXPECT_TRUE(tree_excluded("x/cache", pats));
    EXPECT_TRUE(tree_excluded("docs/old/a.wav", pats));
    EXPECT_FALSE(tree_excluded("docs/a.wav", pats));
    EXPECT_FALSE(tree_excluded("x/docs/old/a.wav", pats));
    EXPECT_FALSE(tree_excluded("cache.wav", pats));
}

TEST(TreeWalk, DirectoriesUnderTheRootDirectory) {
    char tmpl[] = "/tmp/treewalk_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    std::string root = tmpl;
    ASSERT_EQ(mkdir((root + "/sub").c_str(), 0755), 0);
    fclose(fopen((root + "/sub/f").c_str(), "w"));
    std::vector<TreeFile> files;
    std::vector<TreeSkipped> skipped;
    ASSERT_EQ(tree_walk(root, "/", {}, files, skipped), 0);
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(files[0].dir, "/sub"); // not "//sub"
    EXPECT_EQ(system(("rm -rf " + root).c_str()), 0);
}
