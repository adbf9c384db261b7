#include "relaytree.h"

namespace station {

TreeState tree_start(std::size_t n, int per_holder) {
    TreeState s;
    s.hosts.assign(n, TreeHost::Lacking);
    s.sending.assign(n, 0);
    s.receiving.assign(n, 0);
    s.per_holder = per_holder < 1 ? 1 : per_holder;
    return s;
}

void tree_next(TreeState &s, std::vector<Hop> &hops) {
    hops.clear();
    int n = static_cast<int>(s.hosts.size());
    auto start = [&](int from, int to) {
        hops.push_back({from, to});
        s.receiving[static_cast<std::size_t>(to)] = 1;
        s.in_flight++;
        if (from == FROM_STATION)
            return;
        s.sending[static_cast<std::size_t>(from)]++;
    };
    for (int i = 0; i < n; i++)
        if (s.hosts[static_cast<std::size_t>(i)] == TreeHost::Fallback &&
            !s.receiving[static_cast<std::size_t>(i)])
            start(FROM_STATION, i);
    int next = 0; // the next Lacking host to hand out
    auto next_lacking = [&]() {
        while (next < n && (s.hosts[static_cast<std::size_t>(next)] != TreeHost::Lacking ||
                            s.receiving[static_cast<std::size_t>(next)]))
            next++;
        return next < n ? next++ : -1;
    };
    while (s.station_sending < s.per_holder) {
        int t = next_lacking();
        if (t < 0)
            return;
        start(FROM_STATION, t);
        s.station_sending++;
    }
    for (int i = 0; i < n; i++) {
        auto u = static_cast<std::size_t>(i);
        while (s.hosts[u] == TreeHost::Holding && s.sending[u] < s.per_holder) {
            int t = next_lacking();
            if (t < 0)
                return;
            start(i, t);
        }
    }
}

void tree_record(TreeState &s, const Hop &h, bool ok) {
    auto to = static_cast<std::size_t>(h.to);
    s.receiving[to] = 0;
    s.in_flight--;
    bool fallback = s.hosts[to] == TreeHost::Fallback;
    if (h.from == FROM_STATION) {
        if (!fallback)
            s.station_sending--;
        s.hosts[to] = ok ? TreeHost::Holding : TreeHost::Failed;
        return;
    }
    auto from = static_cast<std::size_t>(h.from);
    s.sending[from]--;
    if (ok) {
        s.hosts[to] = TreeHost::Holding;
        return;
    }
    s.hosts[to] = TreeHost::Fallback;
    if (s.hosts[from] == TreeHost::Holding)
        s.hosts[from] = TreeHost::Spent;
}

void tree_lost(TreeState &s, int i) {
    auto u = static_cast<std::size_t>(i);
    if (s.hosts[u] == TreeHost::Holding)
        s.hosts[u] = TreeHost::Spent;
}

} // namespace station
