// The pipelined exchange. Each connection has a writer, which turns requests into bytes
// as far as the protocol allows, and a reader, which takes the answers of the oldest
// unanswered request apart; one ppoll waits for whichever side of any connection can go.
#include "pipeline.h"

#include "cksum.h"
#include "fdio.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace station {

namespace {

// Bytes queued for a connection before waiting: enough to fill the agent's pipe in one
// write (agent_start widens it), so that a large upload costs few wake-ups.
constexpr std::size_t OUT_HIGH = 4 * BATCH;
// The last piece of an upload up to this size is copied behind the frames rather than
// written from where it lies.
constexpr std::size_t SMALL_TAIL = BATCH;
constexpr int POLL_SLICE_MS = 200; // longest wait, so that an ending is seen soon

// What the reader awaits of the oldest unanswered request.
enum Reading : int {
    WantFirst = 0, // its first answer: the interim one, or a final refusal
    WantLength,    // the length of a download (Sum, Get)
    WantData,      // the data of a Get
    WantChecksum,  // the checksum of a download
    WantFinal,     // its final answer
};

// How an operation's exchange goes after its header.
enum class Phase { None, Upload, Download };

Phase phase_of(PipeOp op) {
    switch (op) {
    case PipeOp::Put:
    case PipeOp::Deploy:
        return Phase::Upload;
    case PipeOp::Sum:
    case PipeOp::Get:
        return Phase::Download;
    default:
        return Phase::None;
    }
}

Op wire_op(PipeOp op) {
    switch (op) {
    case PipeOp::Sum:
        return Op::Sum;
    case PipeOp::Put:
        return Op::Put;
    case PipeOp::Push:
        return Op::Push;
    case PipeOp::Get:
        return Op::Get;
    case PipeOp::Delete:
        return Op::Delete;
    case PipeOp::DeleteRemote:
        return Op::DeleteRemote;
    case PipeOp::Deploy:
        return Op::Deploy;
    case PipeOp::Undeploy:
        return Op::Undeploy;
    }
    return Op::Sum;
}

bool relayed(PipeOp op) {
    return op == PipeOp::Push || op == PipeOp::DeleteRemote;
}

bool of_application(PipeOp op) {
    return op == PipeOp::Deploy || op == PipeOp::Undeploy;
}

bool done(const Pipeline &p) {
    return p.fail != PipeFail::None || (p.answered == p.n && !p.hello);
}

void report(const Pipeline &p, std::int64_t done, std::int64_t total) {
    if (p.agent->progress)
        p.agent->progress(p.agent->progress_ctx, done, total);
}

// How long the agent may take over what is awaited next: its hello, or an answer.
int answer_ms(const Pipeline &p) {
    return p.hello ? p.hello_ms : p.agent->timeout_ms;
}

void close_source(Pipeline &p) {
    if (p.src_fd >= 0)
        close(p.src_fd);
    p.src_fd = -1;
    p.data = false;
}

// Ends the connection's exchange: the requests that were out get f, the rest NotSent.
void fail_rest(Pipeline &p, PipeFail f) {
    p.fail = f;
    for (std::size_t i = p.answered; i < p.sent; i++)
        if (p.reqs[i].seq != 0)
            p.reqs[i].fail = f;
    for (std::size_t i = p.sent; i < p.n; i++)
        p.reqs[i].fail = PipeFail::NotSent;
    close_source(p);
    p.held = false;
    p.answered = p.sent = p.n;
    p.out.clear();
    p.out_pos = p.data_unsent = p.chunk_left = 0;
}

// Opens the local file of an upload; 0, or the errno that makes it unusable.
int open_local(Pipeline &p, PipeRequest &r) {
    p.src_changed = false;
    if (r.from_memory) {
        r.length = static_cast<std::int64_t>(r.data.size());
        return r.data.size() > INT32_MAX ? EFBIG : 0;
    }
    if (int e = open_upload_source(r.local.c_str(), &p.src_fd, &p.src_stat); e != 0)
        return e;
    r.length = p.src_stat.st_size;
    return 0;
}

void frame_string(std::string &f, std::string_view s) {
    put_string(f, s);
}

// Whether the request's strings fit the agent's buffers.
bool fits_agent(const PipeRequest &r) {
    if (of_application(r.op))
        return r.appl.size() < APPL_CAP;
    return r.dir.size() < DIR_CAP && r.name.size() < NAME_CAP &&
           (!relayed(r.op) || r.host.size() < HOST_CAP);
}

// Queues the next request's frame. Returns false when the writer must wait.
bool queue_request(Pipeline &p) {
    PipeRequest &r = p.reqs[p.sent];
    int e = fits_agent(r) ? 0 : ENAMETOOLONG;
    if (e == 0 && phase_of(r.op) == Phase::Upload)
        e = open_local(p, r);
    if (e != 0) {
        // Nothing of it goes out; the reader passes over it in turn.
        r.fail = PipeFail::Local;
        r.local_errno = e;
        p.sent++;
        return true;
    }
    r.seq = ++p.agent->seq;
    std::string f = request_header(r.seq, wire_op(r.op));
    if (of_application(r.op)) {
        frame_string(f, r.appl);
    } else {
        if (relayed(r.op))
            frame_string(f, r.host);
        frame_string(f, r.dir);
        frame_string(f, r.name);
    }
    if (r.op == PipeOp::Push) {
        put_long(f, r.expect.length);
        put_long(f, static_cast<std::int32_t>(r.expect.checksum));
    }
    p.out.append(f);
    p.sent++;
    if (phase_of(r.op) == Phase::Upload) {
        p.held = true; // the data, or the next request, after the first answer
        return false;
    }
    return true;
}

// Bytes waiting to be written: frames, then the data chunk read ahead.
std::size_t pending(const Pipeline &p) {
    return p.out.size() - p.out_pos + p.chunk_left;
}

// Reads the next chunk of the upload being sent, once the one before went, and queues
// its checksum when all went. The chunk is written from where it lies (the read buffer,
// or the caller's memory); only a small last one is copied into the frames. A file that
// changes meanwhile gets a checksum that cannot match, so that the agent discards it.
void queue_data(Pipeline &p) {
    PipeRequest &r = p.reqs[p.sent - 1];
    if (!p.data || p.chunk_left > 0)
        return;
    std::int64_t left = r.length - p.data_done;
    if (left > 0) {
        std::size_t want = static_cast<std::size_t>(
            std::min<std::int64_t>(left, static_cast<std::int64_t>(OUT_HIGH)));
        const unsigned char *b =
            reinterpret_cast<const unsigned char *>(r.data.data()) + p.data_done;
        if (!r.from_memory) {
            p.chunk.resize(OUT_HIGH);
            std::size_t got = p.src_changed ? 0 : read_full(p.src_fd, p.chunk.data(), want);
            if (got < want) {
                p.src_changed = true;
                std::memset(p.chunk.data() + got, 0, want - got);
            }
            b = p.chunk.data();
        }
        cksum_calc(b, want, &p.crc);
        p.data_done += static_cast<std::int64_t>(want);
        p.data_total += static_cast<std::int64_t>(want);
        report(p, p.data_done, r.length);
        if (want < static_cast<std::size_t>(left) || want > SMALL_TAIL) {
            p.chunk_at = b;
            p.chunk_left = want;
            return;
        }
        // A small last piece goes with the frames: the length, the data, the checksum
        // and the next header leave in one write, and one packet of the connection.
        p.out.append(reinterpret_cast<const char *>(b), want);
    }
    if (!p.src_changed && !r.from_memory)
        p.src_changed = file_changed_since(p.src_fd, p.src_stat, r.local.c_str());
    cksum_final(r.length, &p.crc);
    r.checksum = p.src_changed ? ~p.crc : p.crc;
    put_long(p.out, static_cast<std::int32_t>(r.checksum));
    // Kept with the request for its final answer: the next put may open its own file
    // before that answer comes.
    if (p.src_changed)
        r.fail = PipeFail::Changed;
    p.data_unsent = p.out.size() - p.out_pos;
    close_source(p);
}

void fill_output(Pipeline &p) {
    // A connection that had nothing outstanding starts its clock with its next request.
    if (p.sent == p.answered && p.sent < p.n)
        p.deadline = monotonic_ms() + answer_ms(p);
    if (p.data)
        queue_data(p);
    while (!done(p) && !p.held && !p.data && p.sent < p.n && p.sent - p.answered < PIPE_WINDOW &&
           pending(p) < OUT_HIGH)
        if (!queue_request(p))
            break;
}

// Passes over requests that never went out.
void skip_unsent(Pipeline &p) {
    while (p.answered < p.sent && p.reqs[p.answered].seq == 0)
        p.answered++;
}

// Whether the put r, which waits for its interim answer, is still wanted: the request
// answered just before it must be the sum of the same file.
bool wanted(const Pipeline &p, const PipeRequest &r) {
    if (p.answered == 0)
        return false;
    const PipeRequest &sum = p.reqs[p.answered - 1];
    return sum.op == PipeOp::Sum && sum.dir == r.dir && sum.name == r.name &&
           sum_wants_put(sum, r.expect);
}

// Takes the final answer of the oldest request.
void finish(Pipeline &p, int status) {
    PipeRequest &r = p.reqs[p.answered];
    r.status = static_cast<Status>(status);
    bool kept = r.fail == PipeFail::Changed || r.fail == PipeFail::Withdrawn;
    r.fail = kept ? r.fail : PipeFail::None;
    // A download that the agent calls whole must be whole here too.
    if (r.op == PipeOp::Get && r.status == Status::Ok) {
        std::uint32_t crc = p.got_crc;
        cksum_final(r.info.length, &crc);
        if (r.local_errno != 0)
            r.fail = PipeFail::Local;
        else if (crc != r.info.checksum)
            r.fail = PipeFail::Checksum;
    }
    p.answered++;
    p.reading = WantFirst;
    p.deadline = monotonic_ms() + p.agent->timeout_ms;
    skip_unsent(p);
}

// Takes what came of a Get's data: into its sink and its checksum.
void take_data(Pipeline &p, PipeRequest &r) {
    Agent &a = *p.agent;
    std::size_t k = static_cast<std::size_t>(std::min<std::int64_t>(
        r.info.length - p.got_done, static_cast<std::int64_t>(a.rlen - a.rpos)));
    const unsigned char *b = a.rbuf.data() + a.rpos;
    cksum_calc(b, k, &p.got_crc);
    // A local failure is told once the agent's answer is in: the data still come.
    if (r.sink >= 0 && r.local_errno == 0 && !write_all(r.sink, b, k))
        r.local_errno = errno != 0 ? errno : EIO;
    a.rpos += k;
    p.got_done += static_cast<std::int64_t>(k);
    report(p, p.got_done, r.info.length);
    if (p.got_done == r.info.length)
        p.reading = WantChecksum;
}

// Takes apart what has come. Returns false after a protocol failure.
bool parse_input(Pipeline &p) {
    Agent &a = *p.agent;
    if (p.hello) {
        if (a.rlen - a.rpos < HELLO.size())
            return true;
        std::string_view r(reinterpret_cast<const char *>(a.rbuf.data()) + a.rpos, HELLO.size());
        if (r != HELLO && r != HELLO_OLD)
            return false;
        a.rpos += HELLO.size();
        p.hello = false;
        p.deadline = monotonic_ms() + a.timeout_ms;
    }
    for (;;) {
        skip_unsent(p);
        if (p.answered == p.sent)
            return true; // nothing is awaited; what came waits for the next request
        PipeRequest &r = p.reqs[p.answered];
        if (p.reading == WantLength) {
            if (a.rlen - a.rpos < 4)
                return true;
            r.info.length = get_be32(a.rbuf.data() + a.rpos);
            a.rpos += 4;
            if (r.info.length < 0)
                return false; // no file has a negative length
            p.got_done = 0;
            cksum_init(&p.got_crc);
            bool data = r.op == PipeOp::Get && r.info.length > 0;
            if (r.op == PipeOp::Get)
                report(p, 0, r.info.length);
            p.reading = data ? WantData : WantChecksum;
            continue;
        }
        if (p.reading == WantData) {
            if (a.rpos == a.rlen)
                return true;
            take_data(p, r);
            continue;
        }
        if (p.reading == WantChecksum) {
            if (a.rlen - a.rpos < 4)
                return true;
            r.info.checksum = static_cast<std::uint32_t>(get_be32(a.rbuf.data() + a.rpos));
            a.rpos += 4;
            p.reading = WantFinal;
            continue;
        }
        // An answer: whatever precedes its 'R' is passed over, as every reader does.
        while (a.rpos < a.rlen && a.rbuf[a.rpos] != RESPONSE_MARK)
            a.rpos++;
        if (a.rlen - a.rpos < 7)
            return true;
        const unsigned char *b = a.rbuf.data() + a.rpos;
        std::int32_t seq = get_be32(b + 1);
        int status = get_be16(b + 5);
        a.rpos += 7;
        if (seq != r.seq) {
            // The agent's own word that it expected another number (it ends after it),
            // in place of a first answer.
            if (status != code(Status::SeqMismatch) || p.reading != WantFirst)
                return false;
            if (phase_of(r.op) == Phase::Upload) {
                close_source(p);
                p.held = false;
            }
            finish(p, status);
            continue;
        }
        bool interim = status == code(Status::Ready);
        Phase phase = phase_of(r.op);
        if (p.reading == WantFirst) {
            if (interim && phase == Phase::None)
                return false;
            if (!interim && status == code(Status::Ok) && phase != Phase::None)
                return false; // success without the data phase
            if (!interim) {
                if (phase == Phase::Upload) {
                    close_source(p); // refused: the agent expects nothing more of it
                    p.held = false;
                }
                finish(p, status);
                continue;
            }
            if (phase == Phase::Download) {
                p.reading = WantLength;
                continue;
            }
            p.held = false;
            if (r.withdraw_if_same && !wanted(p, r)) {
                // An empty upload with the checksum of none: the agent discards it.
                close_source(p);
                r.length = 0;
                r.fail = PipeFail::Withdrawn;
                put_long(p.out, 0);
                put_long(p.out, 0);
                p.data_unsent = p.out.size() - p.out_pos;
                p.reading = WantFinal;
                continue;
            }
            // The upload may send its data now.
            p.data = true;
            p.data_done = 0;
            cksum_init(&p.crc);
            put_long(p.out, static_cast<std::int32_t>(r.length));
            report(p, 0, r.length);
            p.reading = WantFinal;
            continue;
        }
        // A final answer before all of the data went, or a second interim one, is out
        // of turn.
        if (interim || (phase == Phase::Upload && (p.data || p.data_unsent > 0)))
            return false;
        if (r.fail == PipeFail::Withdrawn && status != code(Status::BadChecksum))
            return false; // it kept what it should have discarded
        finish(p, status);
    }
}

// Reads what the agent has sent. Returns false when its output ended or broke.
bool read_input(Pipeline &p) {
    Agent &a = *p.agent;
    if (a.rpos > 0) {
        std::memmove(a.rbuf.data(), a.rbuf.data() + a.rpos, a.rlen - a.rpos);
        a.rlen -= a.rpos;
        a.rpos = 0;
    }
    if (a.rlen == a.rbuf.size())
        return true; // full of what the parser cannot use yet; it will not grow
    ssize_t k = read(a.from, a.rbuf.data() + a.rlen, a.rbuf.size() - a.rlen);
    if (k < 0 && (errno == EINTR || errno == EAGAIN))
        return true;
    if (k <= 0)
        return false;
    a.rlen += static_cast<std::size_t>(k);
    p.deadline = monotonic_ms() + a.timeout_ms;
    return true;
}

// Writes what the pacer lets go: the frames first, then the data chunk. Returns false
// when the agent stopped taking it.
bool write_output(Pipeline &p, int *pace_ms) {
    bool frames = p.out_pos < p.out.size();
    const void *from = frames ? p.out.data() + p.out_pos : static_cast<const void *>(p.chunk_at);
    std::size_t want = frames ? p.out.size() - p.out_pos : p.chunk_left;
    if (p.pacer) {
        want = pacer_allow(*p.pacer, want, pace_ms);
        if (want == 0)
            return true;
    }
    ssize_t k = write(p.agent->to, from, want);
    if (k < 0)
        return errno == EINTR || errno == EAGAIN;
    auto n = static_cast<std::size_t>(k);
    if (p.pacer)
        pacer_sent(*p.pacer, n);
    p.deadline = monotonic_ms() + p.agent->timeout_ms;
    if (!frames) {
        p.chunk_at += n;
        p.chunk_left -= n;
        return true;
    }
    p.out_pos += n;
    p.data_unsent -= std::min(p.data_unsent, n);
    if (p.out_pos == p.out.size()) {
        p.out.clear();
        p.out_pos = 0;
    } else if (p.out_pos > OUT_HIGH) {
        p.out.erase(0, p.out_pos);
        p.out_pos = 0;
    }
    return true;
}

// Whether what waits to go to an agent whose output ended can no longer go either: then
// it is the request that failed, not only its answer.
bool request_stuck(const Pipeline &p) {
    pollfd q{p.agent->to, POLLOUT, 0};
    return pending(p) > 0 && poll(&q, 1, 0) == 1 && (q.revents & POLLERR);
}

void set_nonblocking(int fd, bool on) {
    int fl = fcntl(fd, F_GETFL);
    if (fl >= 0)
        fcntl(fd, F_SETFL, on ? fl | O_NONBLOCK : fl & ~O_NONBLOCK);
}

} // namespace

bool sum_wants_put(const PipeRequest &sum, const FileInfo &mine) {
    if (sum.fail != PipeFail::None)
        return false;
    if (sum.status == Status::CannotOpen)
        return true; // the host lacks it
    return sum.status == Status::Ok &&
           (sum.info.length != mine.length || sum.info.checksum != mine.checksum);
}

ClientError client_error(PipeFail f) {
    switch (f) {
    case PipeFail::Timeout:
        return ClientError::Timeout;
    case PipeFail::Closed:
        return ClientError::Closed;
    case PipeFail::Write:
        return ClientError::Write;
    case PipeFail::Local:
        return ClientError::Local;
    case PipeFail::Checksum:
        return ClientError::Checksum;
    case PipeFail::Changed:
        return ClientError::Changed;
    case PipeFail::Interrupted:
        return ClientError::Interrupted;
    default:
        return ClientError::Protocol;
    }
}

Reply hello_result(const Pipeline &p) {
    if (!p.hello)
        return Status::Ok;
    if (p.fail == PipeFail::None)
        return ClientError::Closed;
    return p.fail == PipeFail::Protocol ? ClientError::Hello : client_error(p.fail);
}

int open_upload_source(const char *path, int *fd, struct stat *st) {
    *fd = open(path, O_RDONLY | O_CLOEXEC);
    int e = 0;
    if (*fd < 0 || fstat(*fd, st) < 0)
        e = errno;
    else if (!S_ISREG(st->st_mode))
        e = S_ISDIR(st->st_mode) ? EISDIR : EINVAL;
    else if (st->st_size > INT32_MAX)
        e = EFBIG;
    if (e != 0 && *fd >= 0)
        close(*fd);
    if (e != 0)
        *fd = -1;
    return e;
}

bool pipe_fail_ends_connection(PipeFail f) {
    return f == PipeFail::Timeout || f == PipeFail::Closed || f == PipeFail::Write ||
           f == PipeFail::Protocol || f == PipeFail::Interrupted || f == PipeFail::NotSent;
}

std::size_t pipeline_run(Pipeline *ps, std::size_t n) {
    return pipeline_run(ps, n, PipeTick{});
}

std::size_t pipeline_run(Pipeline *ps, std::size_t n, PipeTick tick) {
    // A vanished agent must be an ordinary failed write; the signals that end the
    // station come only inside the wait, so that none is missed just before it.
    sigset_t held, old;
    sigemptyset(&held);
    for (int sig : {SIGPIPE, SIGINT, SIGTERM, SIGHUP})
        sigaddset(&held, sig);
    pthread_sigmask(SIG_BLOCK, &held, &old);
    sigset_t waiting = old;
    sigaddset(&waiting, SIGPIPE);

    std::size_t failed = 0;
    long long start = monotonic_ms();
    for (std::size_t i = 0; i < n; i++) {
        Pipeline &p = ps[i];
        p.fail = PipeFail::None;
        p.sent = p.answered = 0;
        p.held = p.data = false;
        p.reading = WantFirst;
        p.out.clear();
        p.out_pos = p.data_unsent = p.chunk_left = 0;
        p.deadline = start + answer_ms(p);
        set_nonblocking(p.agent->to, true);
    }
    auto end_one = [&](Pipeline &p, PipeFail f) {
        // An agent sending a download's data sees its input end only once it is done:
        // the rest of the data is refused, so that its writes fail and it ends at once.
        if (f == PipeFail::Interrupted && p.reading == WantData && p.agent->from >= 0) {
            close(p.agent->from);
            p.agent->from = -1;
        }
        fail_rest(p, f);
        failed++;
    };
    std::vector<pollfd> fds;
    std::vector<std::size_t> owner;
    for (;;) {
        if (tick.fn && !interrupted)
            tick.fn(tick.ctx);
        // What the tick added may end at once (requests that fail locally): the tick is
        // then asked again, as the run ends only when every pipeline is done after a call.
        bool all_done = std::all_of(ps, ps + n, [](const Pipeline &p) { return done(p); });
        fds.clear();
        owner.clear();
        long long now = monotonic_ms();
        int wait = POLL_SLICE_MS;
        for (std::size_t i = 0; i < n; i++) {
            Pipeline &p = ps[i];
            if (p.last && p.agent->to >= 0 && p.sent == p.n && !p.held && !p.data &&
                pending(p) == 0)
                agent_end_input(*p.agent);
            if (done(p))
                continue;
            if (interrupted) {
                end_one(p, PipeFail::Interrupted);
                continue;
            }
            fill_output(p);
            skip_unsent(p);
            if (done(p))
                continue;
            if (now >= p.deadline) {
                end_one(p, PipeFail::Timeout);
                continue;
            }
            wait = static_cast<int>(std::min<long long>(wait, p.deadline - now));
            int pace = 0;
            bool may_write = pending(p) > 0;
            if (may_write && p.pacer && pacer_allow(*p.pacer, pending(p), &pace) == 0) {
                may_write = false;
                wait = std::min(wait, pace);
            }
            fds.push_back({p.agent->from, POLLIN, 0});
            owner.push_back(i);
            if (may_write) {
                fds.push_back({p.agent->to, POLLOUT, 0});
                owner.push_back(i);
            }
        }
        if (fds.empty()) {
            if (all_done || !tick.fn || interrupted)
                break;
            continue;
        }
        timespec ts{wait / 1000, static_cast<long>(wait % 1000) * 1000000};
        int r = ppoll(fds.data(), fds.size(), &ts, &waiting);
        // ppoll delivers a signal only when it would otherwise wait: with a pipe always
        // ready, an ending signal stays pending behind the mask. Let it in here.
        sigset_t pending;
        if (r > 0 && sigpending(&pending) == 0 &&
            (sigismember(&pending, SIGINT) == 1 || sigismember(&pending, SIGTERM) == 1 ||
             sigismember(&pending, SIGHUP) == 1)) {
            pthread_sigmask(SIG_SETMASK, &waiting, nullptr);
            pthread_sigmask(SIG_BLOCK, &held, nullptr);
        }
        if (r <= 0)
            continue; // time, or a signal: both looked at above
        for (std::size_t j = 0; j < fds.size(); j++) {
            Pipeline &p = ps[owner[j]];
            if (done(p) || fds[j].revents == 0)
                continue;
            if (fds[j].events == POLLOUT) {
                int pace = 0;
                if (!write_output(p, &pace))
                    end_one(p, PipeFail::Write);
                continue;
            }
            if (!read_input(p))
                end_one(p, request_stuck(p) ? PipeFail::Write : PipeFail::Closed);
            else if (!parse_input(p))
                end_one(p, PipeFail::Protocol);
        }
    }
    for (std::size_t i = 0; i < n; i++)
        if (ps[i].agent->to >= 0)
            set_nonblocking(ps[i].agent->to, false);
    // A SIGPIPE raised by a failed write is taken back before the mask is restored.
    sigset_t pipe_only;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    timespec zero{0, 0};
    if (!sigismember(&old, SIGPIPE))
        while (sigtimedwait(&pipe_only, nullptr, &zero) > 0) {
        }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return failed;
}

} // namespace station
