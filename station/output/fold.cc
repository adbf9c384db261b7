#include "fold.h"

#include "hostset.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <unordered_map>

std::string fold_hosts(const std::vector<const char *> &names) {
    return hostset_fold(names.data(), names.size());
}

std::string headed_line(const std::string &hosts, const std::string &text) {
    constexpr std::string_view station = "tarko_station: ";
    if (text.starts_with(station))
        return std::string(station) + hosts + ": " + text.substr(station.size());
    return hosts + ": " + text;
}

std::vector<FoldedLine> fold_lines(const std::vector<HostLine> &lines, const char *const *hosts,
                                   bool fold) {
    std::vector<FoldedLine> result;
    if (!fold) {
        for (auto &l : lines)
            result.push_back({l.stream, headed_line(hosts[l.host], l.text)});
        return result;
    }
    // Each distinct line with the hosts that wrote it. The hosts stand in the order of
    // the host list, and so do the lines by their first host, whatever order the hosts
    // finished in; the lines of one host keep their own order.
    struct Group {
        const HostLine *first;
        std::vector<std::size_t> hosts;
    };
    std::vector<Group> groups;
    std::unordered_map<std::string, std::size_t> group_of; // stream and text -> group
    for (auto &l : lines) {
        auto [g, fresh] = group_of.emplace(std::to_string(l.stream) + ":" + l.text, groups.size());
        if (fresh)
            groups.push_back({&l, {}});
        groups[g->second].hosts.push_back(l.host);
    }
    for (auto &g : groups)
        std::sort(g.hosts.begin(), g.hosts.end());
    std::stable_sort(groups.begin(), groups.end(),
                     [](const Group &a, const Group &b) { return a.hosts[0] < b.hosts[0]; });
    for (auto &g : groups) {
        std::vector<const char *> names;
        for (std::size_t h : g.hosts)
            names.push_back(hosts[h]);
        result.push_back({g.first->stream, headed_line(fold_hosts(names), g.first->text)});
    }
    return result;
}

void fold_table(FILE *f, const char *const *hosts, std::size_t n, const HostOutcome *out,
                const char *(*meaning)(int code)) {
    struct Row {
        int code;
        double seconds;
        std::vector<const char *> hosts;
        std::string folded;
    };
    std::vector<Row> rows;
    for (std::size_t i = 0; i < n; i++) {
        auto r = std::find_if(rows.begin(), rows.end(),
                              [&](const Row &x) { return x.code == out[i].code; });
        if (r == rows.end()) {
            rows.push_back({out[i].code, 0.0, {}, {}});
            r = rows.end() - 1;
        }
        r->hosts.push_back(hosts[i]);
        r->seconds = std::max(r->seconds, out[i].seconds);
    }
    std::stable_sort(rows.begin(), rows.end(),
                     [](const Row &a, const Row &b) { return a.code == 0 && b.code != 0; });
    int hw = 4, mw = 7;
    for (auto &r : rows) {
        r.folded = fold_hosts(r.hosts);
        hw = std::max(hw, static_cast<int>(r.folded.size()));
        mw = std::max(mw, static_cast<int>(strlen(meaning(r.code))));
    }
    fprintf(f, "%-*s  %6s  %-*s  %7s\n", hw, "HOST", "STATUS", mw, "MEANING", "SECONDS");
    for (auto &r : rows)
        fprintf(f, "%-*s  %6d  %-*s  %7.2f\n", hw, r.folded.c_str(), r.code, mw, meaning(r.code),
                r.seconds);
}
