// The schedule of a relay tree: the station sends a file to a first host, and every
// host that holds a verified copy pushes it on to a host that lacks it as soon as it is
// free, while the station goes on serving as one more holder; so the holders double
// with every transfer time, and a slow transfer holds up only the hosts behind it. A
// host whose push failed is served by the station itself.
#pragma once

#include <cstddef>
#include <vector>

namespace station {

constexpr int FROM_STATION = -1;

// One transfer: from a host (or FROM_STATION) to a host, by index.
struct Hop {
    int from = FROM_STATION;
    int to = 0;
};

enum class TreeHost {
    Lacking,  // waits for a copy from a holder
    Fallback, // a push to it failed: the station serves it
    Holding,  // holds a verified copy and serves others
    Spent,    // holds a copy, but a push from it failed: it serves no one more
    Failed,   // the station could not give it the file either
};

struct TreeState {
    std::vector<TreeHost> hosts;
    std::vector<int> sending;    // transfers each host sends now
    std::vector<char> receiving; // a transfer to the host is under way
    int station_sending = 0;     // station transfers of Lacking hosts under way
    int per_holder = 1;          // transfers each holder (and the station) sends at once
    int in_flight = 0;           // transfers handed out and not yet recorded
};

// Starts the schedule for n hosts.
TreeState tree_start(std::size_t n, int per_holder);

// The transfers that can start now, into hops: the station serves every Fallback host
// at once, and the station and each holder, in order, take the next Lacking hosts
// until per_holder of their transfers are under way. Empty when none can start; the
// schedule has ended when in_flight is 0 too.
void tree_next(TreeState &s, std::vector<Hop> &hops);

// Records the outcome of a hop that tree_next handed out: the target holds the file,
// or a push failed (the target falls back to the station, the holder serves no more)
// or a station put failed (the target has failed for good).
void tree_record(TreeState &s, const Hop &h, bool ok);

// Host i can no longer be asked to do anything (its connection broke): a holder
// serves no more.
void tree_lost(TreeState &s, int i);

} // namespace station
