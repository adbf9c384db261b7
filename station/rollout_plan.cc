#include "rollout_plan.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

namespace {

int fail(char *err, std::size_t cap, const char *fmt, ...) __attribute__((format(printf, 3, 4)));
int fail(char *err, std::size_t cap, const char *fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(err, cap, fmt, ap);
    va_end(ap);
    return 64;
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
    else
        return fail(err, cap, "%s wants a value", argv[i]);
    long n = 0;
    if (name == "--canary") {
        if (!whole_number(v, 0, 1000000, n))
            return fail(err, cap, "--canary wants a number of hosts, not \"%s\"", v);
        r.canary = static_cast<int>(n);
    } else if (name == "--steps") {
        std::vector<StepSpec> s;
        if (!parse_steps(v, s))
            return fail(err, cap,
                        "--steps wants counts and percentages like 10%%,25%%,100%%, "
                        "not \"%s\"",
                        v);
        r.steps = v;
    } else if (name == "--check") {
        r.check = v;
    } else if (name == "--check-tries") {
        if (!whole_number(v, 1, 1000, n))
            return fail(err, cap, "--check-tries wants a number from 1 to 1000, not \"%s\"", v);
        r.check_tries = static_cast<int>(n);
    } else if (name == "--check-interval" || name == "--check-timeout" || name == "--bake") {
        double &out = name == "--bake"            ? r.bake
                      : name == "--check-timeout" ? r.check_timeout
                                                  : r.check_interval;
        if (!seconds(v, out))
            return fail(err, cap, "%.*s wants seconds, not \"%s\"", static_cast<int>(name.size()),
                        name.data(), v);
    } else if (name == "--max-failures") {
        std::size_t b = 0;
        if (!failure_budget(v, 100, b))
            return fail(err, cap, "--max-failures wants a number or a percentage, not \"%s\"", v);
        r.max_failures = v;
    } else if (name == "--on-failure") {
        if (strcmp(v, "halt") != 0 && strcmp(v, "rollback") != 0)
            return fail(err, cap, "--on-failure wants halt or rollback, not \"%s\"", v);
        r.halt_only = strcmp(v, "halt") == 0;
    } else if (name == "--previous") {
        r.previous = v;
    } else if (name == "--keep") {
        if (!whole_number(v, 1, 1000, n))
            return fail(err, cap, "--keep wants a number from 1 to 1000, not \"%s\"", v);
        r.keep = static_cast<int>(n);
    } else {
        r.mode = name == "--resume" ? RolloutMode::Resume : RolloutMode::Rollback;
        r.id = v;
    }
    return 0;
}

bool parse_steps(const char *text, std::vector<StepSpec> &out) {
    out.clear();
    std::string_view rest(text);
    while (true) {
        std::string_view item = rest.substr(0, rest.find(','));
        StepSpec s;
        s.percent = !item.empty() && item.back() == '%';
        if (s.percent)
            item.remove_suffix(1);
        if (item.empty() || item.size() > 7 || item.find_first_not_of("0123456789") != item.npos)
            return false;
        s.value = static_cast<unsigned>(std::stoul(std::string(item)));
        if (s.value == 0 || (s.percent && s.value > 100))
            return false;
        out.push_back(s);
        if (rest.find(',') == rest.npos)
            return true;
        rest.remove_prefix(rest.find(',') + 1);
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
    std::string_view t(text);
    bool percent = !t.empty() && t.back() == '%';
    if (percent)
        t.remove_suffix(1);
    if (t.empty() || t.size() > 9 || t.find_first_not_of("0123456789") != t.npos)
        return false;
    std::size_t n = std::stoul(std::string(t));
    if (percent && n > 100)
        return false;
    budget = percent ? hosts * n / 100 : n;
    return true;
}
