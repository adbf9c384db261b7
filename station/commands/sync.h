// sync: the files named, or a tree, to one host, each put only when the host's copy
// differs, over one connection or several (--streams).
#pragma once

#include "session.h"
#include "treewalk.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace cmd {

// One file of a sync and what became of it.
struct SyncFile {
    station::TreeFile f;
    station::FileInfo mine;
    std::size_t sum_at = 0; // its sum among the first connection's requests
    std::size_t stream = 0; // the connection of its put
    std::size_t put_at = 0; // the put among that connection's requests
    bool put = false;       // the host lacks it or has another copy
    bool ahead = false;     // put on a further connection before the first's sums came
    std::int64_t mtime = 0; // when the local file was last changed, in nanoseconds
};

// What a sync prepares while its host's agent comes up: the further connections of
// --streams, started right after the first, and the local files with their sums.
struct SyncStart {
    std::vector<SyncFile> files;
    CommandResult listed = Outcome::Ok;
    std::vector<std::unique_ptr<HostSession>> extra;
    std::vector<CommandResult> up; // per further connection: whether it started
    ~SyncStart();
};

// Walks the tree of sync -r, or takes the files named, and sums every file, once for
// the run: a fan-out does it before it starts serving the hosts, whose children then
// check each file with one stat. A sync of one host does it while its agent comes up.
void sync_read_local(const Options &o);

// Ends the further connections: all are told to end first, so that they wind down
// together.
void sync_end(SyncStart &s);

// Starts the further connections of --streams and reads the local files, while the
// command's own connection comes up (launched, its hello not yet answered).
void sync_start(HostSession &c, SyncStart &s);

// Puts each local file whose length or checksum differs from the host's copy (or that
// the host lacks), skips the others and says so. Every file is tried; the result is
// that of the first file that failed. The command's own connection is greeted here.
CommandResult cmd_sync(HostSession &c, SyncStart &start);

} // namespace cmd
