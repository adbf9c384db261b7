#include "relaytree.h"

namespace station {

TreeState tree_start(std::size_t n, int per_holder) {
    TreeState s;
    s.hosts.assign(n, TreeHost::Lacking);
    s.per_holder = per_holder < 1 ? 1 : per_holder;
    return s;
}

void tree_round(const TreeState &s, std::vector<Hop> &hops) {
    hops.clear();
    bool any_holder = false;
    for (TreeHost h : s.hosts)
        any_holder = any_holder || h == TreeHost::Holding || h == TreeHost::Spent;
    int n = static_cast<int>(s.hosts.size());
    int next = 0; // the next Lacking host to hand out
    auto next_lacking = [&]() {
        while (next < n && s.hosts[static_cast<std::size_t>(next)] != TreeHost::Lacking)
            next++;
        return next < n ? next++ : -1;
    };
    for (int i = 0; i < n; i++)
        if (s.hosts[static_cast<std::size_t>(i)] == TreeHost::Fallback)
            hops.push_back({FROM_STATION, i});
    if (!any_holder) {
        // Nobody holds it yet: the station seeds the first host that lacks it. With
        // hosts left lacking and no holder after that, the station serves them in turn.
        if (int t = next_lacking(); t >= 0)
            hops.push_back({FROM_STATION, t});
        return;
    }
    bool served = false;
    for (int i = 0; i < n; i++) {
        if (s.hosts[static_cast<std::size_t>(i)] != TreeHost::Holding)
            continue;
        for (int k = 0; k < s.per_holder; k++) {
            int t = next_lacking();
            if (t < 0)
                return;
            hops.push_back({i, t});
            served = true;
        }
    }
    // Every holder is spent: the station takes the next one on.
    if (!served)
        if (int t = next_lacking(); t >= 0)
            hops.push_back({FROM_STATION, t});
}

void tree_record(TreeState &s, const Hop &h, bool ok) {
    auto &to = s.hosts[static_cast<std::size_t>(h.to)];
    if (ok) {
        to = TreeHost::Holding;
        return;
    }
    if (h.from == FROM_STATION) {
        to = TreeHost::Failed;
        return;
    }
    to = TreeHost::Fallback;
    auto &from = s.hosts[static_cast<std::size_t>(h.from)];
    if (from == TreeHost::Holding)
        from = TreeHost::Spent;
}

} // namespace station
