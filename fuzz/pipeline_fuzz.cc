// The station's pipelined exchange (pipeline_run) against stand-in peers that answer
// with any bytes. The script chooses one or two connections, how each peer ends and in
// what pieces it writes, and the requests (every operation: sums, gets, puts of small
// local files or from memory, deletes, pushes, remote deletes, deployments, removals,
// and requests that fail locally), some of them added by the run's tick while it runs; the
// rest of the input is what the peers answer, split between them. Each peer writes its
// bytes and then closes its output, closes both ways or stays silent, always draining
// what the station writes. pipeline_run must return; every request must end with an
// agent status or a failure the exchange allows; after a failure that ends the
// connection only that failure or NotSent follows; the requests sent carry the agent's
// next sequence numbers in order; a put announces its whole file, and one of a file that
// grew while it was sent never ends in success; every request the tick would add is
// added unless its connection failed; and no descriptor is left open.
#include "fuzz_input.h"
#include "pipeline.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using station::PipeFail;
using station::PipeOp;
using station::PipeRequest;

// How a peer ends once its bytes are written.
enum class End { Close, CloseBoth, Silent };

// Time limits: a silent peer must end in Timeout soon; a peer that closes must never
// make the station time out, so its limit is far beyond any run.
constexpr int SILENT_TIMEOUT_MS = 3;
constexpr int CLOSING_TIMEOUT_MS = 10000;
// Most pauses of a peer that writes in pieces, so that a run stays short.
constexpr int MAX_WAITS = 8;

// Local files of the puts, made once in a private directory removed at exit.
char base[] = "/tmp/pipeline_fuzz_XXXXXX";
std::string small_file, empty_file, big_file, missing_file;
int null_fd = -1; // where the data of gets go
// A regular file of length 0 that always holds more than that when read: every put of it
// must end Changed (or in a failure of the connection).
const std::string growing_file = "/proc/self/status";

void make_files() {
    if (!mkdtemp(base))
        std::abort();
    std::atexit([] { std::filesystem::remove_all(base); });
    auto make = [](const char *name, std::size_t n) {
        std::string path = std::string(base) + "/" + name;
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        std::string d(n, 'q');
        if (fd < 0 || write(fd, d.data(), d.size()) != static_cast<ssize_t>(d.size()))
            std::abort();
        close(fd);
        return path;
    };
    small_file = make("small", 5);
    empty_file = make("empty", 0);
    big_file = make("big", 3000);
    missing_file = std::string(base) + "/missing";
    null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
}

int open_fds() {
    int n = 0;
    if (DIR *d = opendir("/proc/self/fd")) {
        while (readdir(d))
            n++;
        closedir(d);
    }
    return n;
}

// The stand-in agent of one connection: the far ends of two pipes and a thread.
struct Peer {
    int in = -1, out = -1; // reads the station's requests from in, answers on out
    std::thread t;

    void start(station::Agent &a, std::string_view bytes, End end, int piece) {
        int req[2], rep[2];
        if (pipe2(req, O_CLOEXEC) != 0 || pipe2(rep, O_CLOEXEC) != 0)
            std::abort();
        station::agent_attach(a, req[1], rep[0]);
        a.timeout_ms = end == End::Silent ? SILENT_TIMEOUT_MS : CLOSING_TIMEOUT_MS;
        in = req[0];
        out = rep[1];
        t = std::thread([this, data = std::string(bytes), end, piece] {
            // The answers fit the pipe, so these writes never wait for the station.
            std::size_t at = 0;
            int waits = 0;
            while (at < data.size()) {
                std::size_t n = data.size() - at;
                if (piece > 0)
                    n = std::min(n, static_cast<std::size_t>(piece));
                else if (piece < 0 && waits < MAX_WAITS) // up to the next answer's mark
                    n = std::min(n, data.find('R', at + 1) - at);
                ssize_t k = write(out, data.data() + at, n);
                if (k <= 0)
                    break;
                at += static_cast<std::size_t>(k);
                if (piece != 0 && waits++ < MAX_WAITS) {
                    timespec pause{0, piece < 0 ? 0 : 50000};
                    nanosleep(&pause, nullptr);
                    drain(piece < 0 ? 1 : 0);
                }
            }
            if (end != End::Silent)
                close(out);
            if (end != End::CloseBoth)
                while (drain(-1)) {
                }
            close(in);
            if (end == End::Silent)
                close(out);
        });
    }

    // Takes what the station writes until it has been quiet for wait_ms (-1: until
    // its side closes); false when its side is closed.
    bool drain(int wait_ms) {
        pollfd pfd{in, POLLIN, 0};
        while (poll(&pfd, 1, wait_ms) > 0) {
            char sink[4096];
            ssize_t k = read(in, sink, sizeof sink);
            if (k == 0 || (k < 0 && errno != EINTR))
                return false;
        }
        return true;
    }
};

// The operations of bit 7: those beside sums, puts and pushes.
void other_request_of(unsigned char op, PipeRequest &r) {
    switch (op % 8) {
    case 0:
    case 1:
        r.op = PipeOp::Get;
        r.sink = op % 8 == 0 ? null_fd : -1;
        break;
    case 2:
        r.op = PipeOp::Delete;
        break;
    case 3:
        r.op = PipeOp::DeleteRemote;
        r.host = "b";
        break;
    case 4:
        r.op = PipeOp::Deploy;
        r.appl = "ivr1";
        r.local = (op / 8) % 2 ? small_file : missing_file;
        break;
    case 5:
        r.op = PipeOp::Undeploy;
        r.appl = (op / 8) % 2 ? "ivr1" : std::string(APPL_CAP, 'a');
        break;
    case 6:
        r.op = PipeOp::Put;
        r.from_memory = true;
        r.data = "from memory";
        break;
    default: // fails locally: the name does not fit
        r.op = PipeOp::Get;
        r.name.assign(NAME_CAP, 'n');
        break;
    }
}

PipeRequest request_of(unsigned char op) {
    PipeRequest r;
    r.dir = "/srv/d";
    r.name = "f";
    if (op & 0x80) {
        other_request_of(op, r);
        return r;
    }
    switch (op % 8) {
    case 0:
    case 1:
        r.op = PipeOp::Sum;
        break;
    case 2: // withdrawn, now and then, when the sum before it shows the same copy
        r.op = PipeOp::Put;
        r.local = small_file;
        r.withdraw_if_same = (op / 8) % 2;
        r.expect.length = (op / 16) % 2 ? 5 : 0;
        break;
    case 3:
        r.op = PipeOp::Put;
        r.local = (op / 8) % 3 == 0 ? empty_file : (op / 8) % 3 == 1 ? big_file : growing_file;
        break;
    case 4:
        r.op = PipeOp::Push;
        r.host = "b";
        r.expect.length = 5;
        r.expect.checksum = 0x12345678;
        break;
    case 5: // fails locally: no such file
        r.op = PipeOp::Put;
        r.local = missing_file;
        break;
    case 6: // fails locally: the name does not fit
        r.op = (op / 8) % 2 ? PipeOp::Sum : PipeOp::Push;
        r.host = "b";
        r.name.assign(NAME_CAP, 'n');
        break;
    default: // the host does not fit
        r.op = PipeOp::Push;
        r.host.assign(HOST_CAP, 'h');
        break;
    }
    return r;
}

const char *fail_name(PipeFail f) {
    static constexpr std::array<const char *, 11> names = {
        "None",     "Timeout", "Closed",    "Write",       "Protocol", "Local",
        "Checksum", "Changed", "Withdrawn", "Interrupted", "NotSent"};
    static_assert(names.size() == static_cast<std::size_t>(PipeFail::NotSent) + 1);
    return names[static_cast<std::size_t>(f)];
}

// The invariants of one connection's requests after the run; true when it failed.
bool check(const std::vector<PipeRequest> &reqs, std::int32_t seq_before, std::int32_t seq_after,
           End end) {
    PipeFail ended = PipeFail::None;
    std::int32_t seq = seq_before;
    for (std::size_t i = 0; i < reqs.size(); i++) {
        const PipeRequest &r = reqs[i];
        PipeFail f = r.fail;
        bool grows = r.op == PipeOp::Put && r.local == growing_file;
        if (f == PipeFail::Interrupted || (f == PipeFail::Changed && !grows) ||
            (f == PipeFail::Withdrawn && !r.withdraw_if_same))
            fuzzin::fail("request %zu: %s, which nothing here can cause", i, fail_name(f));
        // Ok comes only after the data phase, where the station saw the file grow.
        if (f == PipeFail::None && grows && r.status == Status::Ok)
            fuzzin::fail("request %zu: a put of a file that grew ended Ok, not Changed", i);
        if (f == PipeFail::Timeout && end != End::Silent)
            fuzzin::fail("request %zu timed out, but its peer's output ended", i);
        if (f == PipeFail::Write && end != End::CloseBoth)
            fuzzin::fail("request %zu: write failed to a peer that reads", i);
        if (f == PipeFail::Closed && end == End::Silent)
            fuzzin::fail("request %zu: Closed, but its peer's output stays open", i);
        if (f == PipeFail::Local) {
            if (r.seq != 0 || r.local_errno == 0)
                fuzzin::fail("request %zu: Local with sequence %d, errno %d", i, r.seq,
                             r.local_errno);
            continue; // nothing of it went out, before or after a failure
        }
        if (ended != PipeFail::None && f != ended && f != PipeFail::NotSent)
            fuzzin::fail("request %zu: %s after the connection ended in %s", i, fail_name(f),
                         fail_name(ended));
        if (f == PipeFail::NotSent) {
            if (r.seq != 0)
                fuzzin::fail("request %zu: NotSent with sequence %d", i, r.seq);
            if (ended == PipeFail::None)
                ended = PipeFail::NotSent;
            continue;
        }
        // Sent: the next number, and a put announces its whole file.
        if (r.seq != seq + 1)
            fuzzin::fail("request %zu: sequence %d after %d", i, r.seq, seq);
        struct stat st;
        bool withdrawn = r.withdraw_if_same && r.length == 0; // then failed, perhaps
        bool from_file = (r.op == PipeOp::Put || r.op == PipeOp::Deploy) && !r.from_memory;
        if (from_file && !withdrawn && (stat(r.local.c_str(), &st) != 0 || r.length != st.st_size))
            fuzzin::fail("request %zu: a put of %lld bytes from a file of %lld", i,
                         static_cast<long long>(r.length), static_cast<long long>(st.st_size));
        seq = r.seq;
        if (f == PipeFail::Withdrawn && (r.length != 0 || r.status != Status::BadChecksum))
            fuzzin::fail("request %zu: withdrawn with %lld bytes and status %d", i,
                         static_cast<long long>(r.length), code(r.status));
        if (r.from_memory && r.length != static_cast<std::int64_t>(r.data.size()))
            fuzzin::fail("request %zu: a put of %lld bytes from memory of %zu", i,
                         static_cast<long long>(r.length), r.data.size());
        if (f == PipeFail::Checksum && (r.op != PipeOp::Get || r.status != Status::Ok))
            fuzzin::fail("request %zu: Checksum for a request that is no whole get", i);
        if (f == PipeFail::None || f == PipeFail::Changed || f == PipeFail::Withdrawn ||
            f == PipeFail::Checksum) {
            if (r.status == Status::Ready)
                fuzzin::fail("request %zu: the interim answer taken as final", i);
            bool download = r.op == PipeOp::Sum || r.op == PipeOp::Get;
            if (download && r.status == Status::Ok && r.info.length < 0)
                fuzzin::fail("request %zu: a download of negative length %d", i, r.info.length);
            continue;
        }
        if (ended == PipeFail::None)
            ended = f;
    }
    if (seq != seq_after)
        fuzzin::fail("the agent's sequence is %d, the last request sent had %d", seq_after, seq);
    return ended != PipeFail::None;
}

// Requests that the tick appends, one a call to each connection that has not failed, as
// the commands add work that depends on earlier answers.
struct Late {
    std::array<std::vector<PipeRequest>, 2> *reqs;
    std::array<std::vector<PipeRequest>, 2> queued;
    std::array<std::size_t, 2> taken{};
    station::Pipeline *pipes;
    std::size_t conns;
    std::array<bool, 2> last{}; // set on the pipeline once the tick has added all it had
};

bool connection_failed(const station::Pipeline &p) {
    for (std::size_t i = 0; i < p.answered; i++)
        if (station::pipe_fail_ends_connection(p.reqs[i].fail))
            return true;
    return false;
}

void tick(void *ctx) {
    Late &l = *static_cast<Late *>(ctx);
    for (std::size_t c = 0; c < l.conns; c++) {
        station::Pipeline &p = l.pipes[c];
        if (l.taken[c] == l.queued[c].size()) {
            p.last = l.last[c];
            continue;
        }
        if (connection_failed(p))
            continue;
        std::vector<PipeRequest> &r = (*l.reqs)[c];
        r.push_back(l.queued[c][l.taken[c]++]);
        p.reqs = r.data();
        p.n = r.size();
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    make_files();
    // A peer may still write after the station closed its side.
    signal(SIGPIPE, SIG_IGN);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    fuzzin::Script script(data, size);
    static std::array<station::Agent, 2> agents;
    // ops[0]: bit 0 a second connection; bits 1-3 and 4-6 how each peer ends (3 stays
    // silent, 5 closes both ways, the others close its output, so that the silent runs
    // and their waits stay few; with 6 and 7 the requests follow a hello whose answer
    // is awaited in the run, with 7 the input is closed after the last request); bit 7
    // writes in pieces.
    // ops[1]: bits 0-2 the pieces: 1 to 7 bytes, or with 0 each answer from its 'R' on,
    // after the station's bytes for the one before came or 1 ms passed; bits 3-7 where
    // the data splits between two peers, in 32nds. ops[2] on: the requests, bit 5 the
    // connection each goes to, bit 6 set when the tick appends it during the run.
    unsigned char cfg = script.ops.size() > 0 ? script.ops[0] : 0;
    unsigned char how = script.ops.size() > 1 ? script.ops[1] : 0;
    std::size_t conns = 1 + (cfg & 1);
    auto end_of = [](unsigned v) {
        return v == 3 ? End::Silent : v == 5 ? End::CloseBoth : End::Close;
    };
    std::array<End, 2> ends = {end_of((cfg >> 1) & 7), end_of((cfg >> 4) & 7)};
    std::array<bool, 2> hello = {((cfg >> 1) & 7) >= 6, ((cfg >> 4) & 7) >= 6};
    int piece = 0;
    if (cfg & 0x80)
        piece = how % 8 == 0 ? -1 : how % 8;
    std::size_t split = conns == 2 ? script.rest_size() * (how >> 3) / 32 : script.rest_size();

    std::array<std::vector<PipeRequest>, 2> reqs;
    std::array<station::Pipeline, 2> pipes;
    Late late{&reqs, {}, {}, pipes.data(), conns};
    for (std::size_t i = 2; i < script.ops.size(); i++) {
        unsigned char op = script.ops[i];
        std::size_t c = conns == 2 ? (op >> 5) & 1 : 0;
        (op & 0x40 ? late.queued[c] : reqs[c]).push_back(request_of(op));
    }

    int fds_before = open_fds();
    std::array<Peer, 2> peers;
    for (std::size_t c = 0; c < conns; c++) {
        std::string_view bytes = c == 0 ? script.data.substr(0, split) : script.data.substr(split);
        peers[c].start(agents[c], bytes, ends[c], piece);
        agents[c].seq = 0;
        pipes[c] = station::pipeline_of(agents[c], reqs[c].data(), reqs[c].size());
        pipes[c].hello = hello[c];
        pipes[c].hello_ms = agents[c].timeout_ms;
        late.last[c] = hello[c] && ((cfg >> (c == 0 ? 1 : 4)) & 7) == 7;
    }
    std::size_t failed = station::pipeline_run(pipes.data(), conns, station::PipeTick{tick, &late});

    std::size_t seen_failed = 0;
    for (std::size_t c = 0; c < conns; c++) {
        if (pipes[c].src_fd >= 0)
            fuzzin::fail("connection %zu: a local file is still open", c);
        if (agents[c].rpos > agents[c].rlen)
            fuzzin::fail("connection %zu: read position %zu past its end %zu", c, agents[c].rpos,
                         agents[c].rlen);
        bool broke = check(reqs[c], 0, agents[c].seq, ends[c]);
        // A hello that failed ends a connection whose requests may all have failed locally.
        if (broke && pipes[c].fail == PipeFail::None)
            fuzzin::fail("connection %zu: its requests show a failure the run does not", c);
        broke = pipes[c].fail != PipeFail::None;
        if (pipes[c].hello)
            for (const auto &r : reqs[c])
                if (r.fail == PipeFail::None)
                    fuzzin::fail("connection %zu: an answer taken before the hello's", c);
        if (late.last[c] && !broke && agents[c].to >= 0)
            fuzzin::fail("connection %zu: its input still open after the last request", c);
        if (!broke && late.taken[c] < late.queued[c].size())
            fuzzin::fail("connection %zu: it ended with %zu requests that the tick would add", c,
                         late.queued[c].size() - late.taken[c]);
        seen_failed += broke ? 1 : 0;
    }
    if (failed != seen_failed)
        fuzzin::fail("pipeline_run says %zu connections failed, the requests show %zu", failed,
                     seen_failed);
    for (std::size_t c = 0; c < conns; c++) {
        station::agent_close(agents[c]);
        peers[c].t.join();
    }
    if (int after = open_fds(); after != fds_before)
        fuzzin::fail("%d descriptors open before the run, %d after", fds_before, after);
    return 0;
}
