// The relay-tree schedule and the exclusion patterns of the tree walk.
#include "relaytree.h"
#include "treewalk.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

using namespace station;

namespace {

// Runs the schedule to its end with fail deciding each hop; returns the rounds and
// fills served[i] with how often host i got the file.
int run_schedule(std::size_t n, int k, std::function<bool(const Hop &)> fail,
                 std::vector<int> &served, std::vector<Hop> *all = nullptr) {
    TreeState s = tree_start(n, k);
    served.assign(n, 0);
    std::vector<Hop> hops;
    int rounds = 0;
    for (;; rounds++) {
        tree_round(s, hops);
        if (hops.empty())
            return rounds;
        std::vector<int> busy(n, 0);
        for (const Hop &h : hops) {
            EXPECT_TRUE(h.from == FROM_STATION || s.hosts[h.from] == TreeHost::Holding);
            bool ok = !fail(h);
            served[h.to] += ok;
            if (all)
                all->push_back(h);
            tree_record(s, h, ok);
        }
        EXPECT_LT(rounds, 64) << "the schedule does not end";
        if (rounds >= 64)
            return rounds;
    }
}

} // namespace

TEST(RelayTree, EveryHostServedOnceInLogRounds) {
    for (std::size_t n : {1u, 2u, 12u, 15u, 16u, 64u}) {
        std::vector<int> served;
        std::vector<Hop> hops;
        int rounds = run_schedule(
            n, 1, [](const Hop &) { return false; }, served, &hops);
        EXPECT_TRUE(std::all_of(served.begin(), served.end(), [](int v) { return v == 1; })) << n;
        int want = 0;
        while ((std::size_t{1} << want) < n + 0)
            want++;
        EXPECT_EQ(rounds, want + 1) << n; // the seed, then doubling
        EXPECT_EQ(std::count_if(hops.begin(), hops.end(),
                                [](const Hop &h) { return h.from == FROM_STATION; }),
                  1);
    }
    // Three more per holder and round: 1, 4, 16 holders.
    std::vector<int> served;
    EXPECT_EQ(run_schedule(
                  16, 3, [](const Hop &) { return false; }, served),
              3);
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
    // The seed host fails: the station seeds the next one.
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
