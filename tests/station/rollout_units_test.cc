// The arithmetic of a rollout's plan: step sizes from counts, percentages and the
// repeated last entry; the failure budget and when it is spent.
#include "rollout_plan.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<std::size_t> sizes(std::size_t hosts, std::size_t canary, const char *steps) {
    std::vector<StepSpec> s;
    EXPECT_TRUE(parse_steps(steps, s)) << steps;
    return step_sizes(hosts, canary, s);
}

using V = std::vector<std::size_t>;

TEST(RolloutPlan, StepSizes) {
    EXPECT_EQ(sizes(8, 1, "100%"), V({1, 7}));
    // Percentages of the hosts after the canary, rounded up, the last one repeated.
    EXPECT_EQ(sizes(21, 1, "10%,25%"), V({1, 2, 5, 5, 5, 3}));
    EXPECT_EQ(sizes(50, 1, "10%,100%"), V({1, 5, 44}));
    EXPECT_EQ(sizes(8, 0, "3"), V({3, 3, 2}));
    EXPECT_EQ(sizes(8, 2, "1,50%"), V({2, 1, 3, 2}));
    // A step never has fewer than one host, nor more than are left.
    EXPECT_EQ(sizes(5, 1, "1%"), V({1, 1, 1, 1, 1}));
    EXPECT_EQ(sizes(2, 4, "100%"), V({2}));
    EXPECT_EQ(sizes(0, 1, "100%"), V({}));
    std::vector<StepSpec> s;
    for (const char *bad : {"", "0", "101%", "10%,", "x", "-1", "5%%"})
        EXPECT_FALSE(parse_steps(bad, s)) << bad;
}

TEST(RolloutPlan, FailureBudget) {
    std::size_t b = 99;
    EXPECT_TRUE(failure_budget("0", 50, b));
    EXPECT_EQ(b, 0u);
    EXPECT_TRUE(failure_budget("3", 50, b));
    EXPECT_EQ(b, 3u);
    // A percentage of the hosts to update, rounded down.
    EXPECT_TRUE(failure_budget("10%", 50, b));
    EXPECT_EQ(b, 5u);
    EXPECT_TRUE(failure_budget("10%", 19, b));
    EXPECT_EQ(b, 1u);
    EXPECT_TRUE(failure_budget("10%", 9, b));
    EXPECT_EQ(b, 0u);
    for (const char *bad : {"", "%", "101%", "-1", "1.5", "two"})
        EXPECT_FALSE(failure_budget(bad, 50, b)) << bad;
    // The rollout halts at the budget plus one.
    EXPECT_FALSE(budget_spent(0, 0));
    EXPECT_TRUE(budget_spent(1, 0));
    EXPECT_FALSE(budget_spent(5, 5));
    EXPECT_TRUE(budget_spent(6, 5));
}

} // namespace
