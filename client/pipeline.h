// The station's protocol engine: every request of every operation goes through it, one
// request or thousands, over one agent connection or many. Requests are sent ahead of
// their answers: the agent reads one request at a time from its input, so requests may
// queue in the pipe while it works on earlier ones; only an upload must wait, after its
// header, for the interim answer, because the agent takes the bytes that follow as the
// data or, after a refusal, as the next request. One poll loop serves every connection
// given, reading and writing at once, so that neither pipe can fill up and stall the
// other side; every data phase, deadline, pacer and interrupt lives here once. The
// blocking calls of client.h are runs of one request.
#pragma once

#include "client.h"
#include "pacer.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace station {

// Sum and Get are operations 6 and 5, Put and Deploy the uploads 1 and 7, Delete 2,
// Push 3, DeleteRemote 4, Undeploy 8.
enum class PipeOp { Sum, Put, Push, Get, Delete, DeleteRemote, Deploy, Undeploy };

// Why a request has no agent status.
enum class PipeFail {
    None,        // the agent answered; see status
    Timeout,     // no answer to it (or no room for its data) within the time limit
    Closed,      // the agent's output ended
    Write,       // the agent stopped taking requests or data
    Protocol,    // an answer to another request, or one the exchange does not allow
    Local,       // the local file could not be used (local_errno); nothing was sent, or a
                 // download's data could not be written (local_errno)
    Checksum,    // a download's data did not match the agent's checksum
    Changed,     // the local file changed while it was sent; the agent discarded it
    Withdrawn,   // a put after all not wanted (withdraw_if_same); the agent discarded it
    Interrupted, // the station was told to end
    NotSent,     // an earlier failure ended the connection before this request went out
};

// One request and, after pipeline_run, its result.
struct PipeRequest {
    PipeOp op = PipeOp::Sum;
    std::string dir, name; // the remote file (checked against DIR_CAP and NAME_CAP)
    std::string host;      // Push, DeleteRemote: the further host
    std::string appl;      // Deploy, Undeploy: the application
    std::string local;     // Put, Deploy: the local file sent as the data
    // Put: the data sent from memory instead of a file (the memory must outlive the run).
    bool from_memory = false;
    std::string_view data;
    int sink = -1;   // Get: where the data are written; -1 reads and checks them only
    FileInfo expect; // Push: the length and checksum that travel with it
    // Put: its header goes out right behind the sum of the same file, before that sum is
    // answered. When the sum shows that the host needs no copy (sum_wants_put with
    // expect, the local file's length and checksum), the put is withdrawn: the agent
    // gets an empty upload whose checksum cannot match and discards it, leaving the
    // target as it was.
    bool withdraw_if_same = false;
    // Results.
    std::int32_t seq = 0; // its sequence number; 0 when it was not sent
    PipeFail fail = PipeFail::NotSent;
    Status status = Status::Ok; // the agent's final status when fail is None
    FileInfo info;              // Sum, Get: length and checksum of the host's copy
    std::int64_t length = 0;    // Put, Deploy: bytes announced
    std::uint32_t checksum = 0; // Put, Deploy: the checksum sent with the data
    int local_errno = 0;        // Local: why the file could not be used or written
};

// One agent connection and the requests to send over it, in order.
struct Pipeline {
    Agent *agent = nullptr;
    PipeRequest *reqs = nullptr;
    std::size_t n = 0;
    Pacer *pacer = nullptr; // paces the data of puts when not null
    // No more requests will come: the agent's input is closed as soon as every request
    // and its data went out, so that the agent ends right after its last answer.
    bool last = false;
    // The agent's hello went out before the requests (hello_send) and its answer comes
    // first: the requests need not wait for it. It may take hello_ms from the first
    // request on; hello stays set when it never came.
    bool hello = false;
    int hello_ms = 0;
    // Working state, kept by pipeline_run.
    PipeFail fail = PipeFail::None; // what ended the connection's exchange, if anything
    std::size_t sent = 0;           // requests whose header went out
    std::size_t answered = 0;       // requests whose final answer came (or that failed)
    bool held = false;              // a put's header is out and its interim answer awaited
    bool data = false;              // the data of request sent - 1 is being sent
    int src_fd = -1;                // its local file
    struct stat src_stat {};        // that file's state when it was opened
    bool src_changed = false;       // it changed while it was sent
    std::int64_t data_done = 0;
    std::int64_t data_total = 0; // data of every put queued so far, for progress
    std::uint32_t crc = 0;
    std::int64_t got_done = 0; // bytes of a download's data taken
    std::uint32_t got_crc = 0; // their checksum
    int reading = 0;           // what is awaited of the oldest unanswered request
    long long deadline = 0;    // when the oldest unanswered request runs out of time
    std::string out;           // frames waiting to be written
    std::size_t out_pos = 0;   // how much of out went already
    // Upload data read ahead, written after out: chunk_left bytes from chunk_at (in
    // chunk, or in the request's memory).
    std::vector<unsigned char> chunk;
    const unsigned char *chunk_at = nullptr;
    std::size_t chunk_left = 0;
    // Of what waits in out, the bytes up to the end of the last put's data phase: its
    // final answer may come only once they went (a next header may wait behind them).
    std::size_t data_unsent = 0;
};

// A pipeline of the n requests over the agent's connection, paced by pacer, else by the
// agent's own.
inline Pipeline pipeline_of(Agent &a, PipeRequest *reqs, std::size_t n, Pacer *pacer = nullptr) {
    Pipeline p;
    p.agent = &a;
    p.reqs = reqs;
    p.n = n;
    p.pacer = pacer ? pacer : a.pacer;
    return p;
}

// Most requests a connection has unanswered at a time: a thousand sums go out in one
// round trip (some 100 KiB at the longest names), and the answers are read as they come,
// so neither pipe stalls; the bound keeps what is queued for a dead agent small.
constexpr std::size_t PIPE_WINDOW = 1024;

// Runs every pipeline to its end: each request gets its result, and the sequence
// numbers of the agents advance by the requests sent. A failure of the connection
// (Timeout, Closed, Write, Protocol, Interrupted) ends that pipeline: the request it
// hit gets it, unanswered requests already sent get the same, and the rest NotSent.
// Other pipelines go on. Returns the number of pipelines that ended so.
std::size_t pipeline_run(Pipeline *p, std::size_t n);

// Called by pipeline_run before each of its waits (at least every 200 ms). It may append
// requests to any pipeline that has not failed (setting reqs and n anew; the requests
// before keep their places and results), so that new work goes out as soon as the
// answers it depends on are in. pipeline_run ends when, after a call, every pipeline is
// done.
struct PipeTick {
    void (*fn)(void *ctx) = nullptr;
    void *ctx = nullptr;
};
std::size_t pipeline_run(Pipeline *p, std::size_t n, PipeTick tick);

// True when the answer to a sum shows that the host lacks the file, or has another copy
// than mine; false when its copy is the same or the sum failed otherwise.
bool sum_wants_put(const PipeRequest &sum, const FileInfo &mine);

// True when the failure leaves the connection unusable.
bool pipe_fail_ends_connection(PipeFail f);

// The client error that stands for a failure (Protocol for None, NotSent, Withdrawn).
ClientError client_error(PipeFail f);

// What the hello of a pipeline that had one came to: Ok once it was answered, else the
// failure that ended the connection first (Hello for an answer that was no hello).
Reply hello_result(const Pipeline &p);

// Opens a local file to send as an upload's data. Returns 0 with *fd and *st, or the
// errno that makes it unusable (EISDIR or EINVAL when not a regular file, EFBIG when
// longer than the wire's 32-bit length).
int open_upload_source(const char *path, int *fd, struct stat *st);

} // namespace station
