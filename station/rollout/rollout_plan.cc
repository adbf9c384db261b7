#include "rollout_plan.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

// "N" or "N%": the number and whether it is a percentage (at most 100).
bool count_or_percent(std::string_view t, std::size_t &n, bool &percent) {
    percent = !t.empty() && t.back() == '%';
    if (percent)
        t.remove_suffix(1);
    if (t.empty() || t.size() > 9 || t.find_first_not_of("0123456789") != t.npos)
        return false;
    n = std::stoul(std::string(t));
    return !percent || n <= 100;
}

bool whole_number(const char *text, long lo, long hi, long &out) {
    char *end = nullptr;
    long n = strtol(text, &end, 10);
    if (!*text || *end || n < lo || n > hi)
        return false;
    out = n;
    return true;
}

bool seconds(const char *text, double &out) {
    char *end = nullptr;
    double s = strtod(text, &end);
    if (!*text || *end || !(s >= 0) || s > 86400)
        return false;
    out = s;
    return true;
}

} // namespace

int rollout_option(int argc, char **argv, int &i, RolloutOptions &r, char *err, std::size_t cap) {
    std::string_view a(argv[i]);
    std::string_view name = a.substr(0, a.find('='));
    static constexpr std::string_view with_value[] = {
        "--canary",        "--steps",  "--check",        "--check-tries", "--check-interval",
        "--check-timeout", "--bake",   "--max-failures", "--on-failure",  "--previous",
        "--keep",          "--resume", "--rollback"};
    bool wants_value = false;
    for (auto w : with_value)
        wants_value = wants_value || name == w;
    if (!wants_value) {
        if (a == "--plan")
            r.mode = RolloutMode::Plan;
        else if (a == "--status")
            r.mode = RolloutMode::Status;
        else if (a == "--redeploy")
            r.redeploy = true;
        else
            return -1;
        return 0;
    }
    const char *v = nullptr;
    if (name.size() < a.size())
        v = argv[i] + name.size() + 1;
    else if (i + 1 < argc)
        v = argv[++i];
    if (!v) {
        snprintf(err, cap, "%s wants a value", argv[i]);
        return 64;
    }
    long n = 0;
    std::size_t budget = 0;
    std::vector<StepSpec> steps;
    const char *wants = nullptr; // what the value should have been, when it is not
    if (name == "--canary") {
        wants = whole_number(v, 0, 1000000, n) ? nullptr : "a number of hosts";
        r.canary = static_cast<int>(n);
    } else if (name == "--steps") {
        wants = parse_steps(v, steps) ? nullptr : "counts and percentages like 10%,25%,100%";
        r.steps = v;
    } else if (name == "--check") {
        r.check = v;
    } else if (name == "--check-tries" || name == "--keep") {
        wants = whole_number(v, 1, 1000, n) ? nullptr : "a number from 1 to 1000";
        (name == "--keep" ? r.keep : r.check_tries) = static_cast<int>(n);
    } else if (name == "--check-interval" || name == "--check-timeout" || name == "--bake") {
        double &out = name == "--bake"            ? r.bake
                      : name == "--check-timeout" ? r.check_timeout
                                                  : r.check_interval;
        wants = seconds(v, out) ? nullptr : "seconds";
    } else if (name == "--max-failures") {
        wants = failure_budget(v, 100, budget) ? nullptr : "a number or a percentage";
        r.max_failures = v;
    } else if (name == "--on-failure") {
        r.halt_only = strcmp(v, "halt") == 0;
        wants = r.halt_only || strcmp(v, "rollback") == 0 ? nullptr : "halt or rollback";
    } else if (name == "--previous") {
        r.previous = v;
    } else {
        r.mode = name == "--resume" ? RolloutMode::Resume : RolloutMode::Rollback;
        r.id = v;
    }
    if (!wants)
        return 0;
    snprintf(err, cap, "%.*s wants %s, not \"%s\"", static_cast<int>(name.size()), name.data(),
             wants, v);
    return 64;
}

bool parse_steps(const char *text, std::vector<StepSpec> &out) {
    out.clear();
    std::string_view rest(text);
    for (;;) {
        std::size_t comma = rest.find(','), n = 0;
        StepSpec s;
        if (!count_or_percent(rest.substr(0, comma), n, s.percent) || n == 0)
            return false;
        s.value = static_cast<unsigned>(n);
        out.push_back(s);
        if (comma == rest.npos)
            return true;
        rest.remove_prefix(comma + 1);
    }
}

std::vector<std::size_t> step_sizes(std::size_t hosts, std::size_t canary,
                                    const std::vector<StepSpec> &steps) {
    std::vector<std::size_t> sizes;
    std::size_t left = hosts;
    if (canary > 0 && left > 0) {
        sizes.push_back(canary < left ? canary : left);
        left -= sizes.back();
    }
    const std::size_t after_canary = left;
    for (std::size_t k = 0; left > 0; k++) {
        const StepSpec &s =
            steps.empty() ? StepSpec{true, 100} : steps[k < steps.size() ? k : steps.size() - 1];
        std::size_t n = s.percent ? (after_canary * s.value + 99) / 100 : s.value;
        n = n < 1 ? 1 : n > left ? left : n;
        sizes.push_back(n);
        left -= n;
    }
    return sizes;
}

bool failure_budget(const char *text, std::size_t hosts, std::size_t &budget) {
    std::size_t n = 0;
    bool percent = false;
    if (!count_or_percent(text, n, percent))
        return false;
    budget = percent ? hosts * n / 100 : n;
    return true;
}
