// The station side of the agent protocol: starts or attaches to a tarko_remote2, builds
// request frames, runs the data phases and reads responses under time limits.
//
// Results: every call that performs a request returns the agent's final status (0 to 23,
// see status.h) or one of the negative client errors below. No exceptions are thrown.
// Sequence numbers are managed by the Agent: each request call uses the next one.
#pragma once

#include "status.h"

#include <array>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace station {

// Client-side failures, all negative so that they never collide with a status code.
enum ClientError : int {
    ErrTimeout = -1,      // no complete reply within the time limit
    ErrClosed = -2,       // the agent's output ended (the connection is lost)
    ErrWrite = -3,        // writing to the agent failed
    ErrLocal = -4,        // a local file could not be opened, read or written (errno kept)
    ErrChecksum = -5,     // downloaded data did not match the agent's checksum
    ErrStart = -6,        // the agent could not be started
    ErrHello = -7,        // the hello reply was not "HELLO_v2x"
    ErrArgument = -8,     // a name or length the agent cannot accept; nothing was sent
    ErrProtocol = -9,     // the agent answered something the exchange does not allow
    ErrChanged = -10,     // the local file changed while it was sent; the agent was given a
                          // checksum that cannot match, so it stored nothing
    ErrInterrupted = -11, // the station was told to end (see interrupted)
};

// The signal that told the station to end (SIGINT, SIGTERM or SIGHUP), 0 until one
// came. Set by the station's handler; every wait for the agent and every write to it
// then gives up with ErrInterrupted, so that the command can close its connection and
// let the agent clean up.
extern volatile sig_atomic_t interrupted;

// Capacities of the agent's receiving buffers, terminator included.
constexpr std::size_t DIR_MAX = 95, NAME_MAX_ = 31, HOST_MAX = 63, APPL_MAX = 95;

// Called during data phases with the bytes moved so far and the total.
using Progress = void (*)(void *ctx, std::int64_t done, std::int64_t total);

struct Agent {
    pid_t pid = -1;          // the agent process when started by agent_start, else -1
    int to = -1;             // descriptor the requests are written to
    int from = -1;           // descriptor the replies are read from
    std::int32_t seq = 0;    // sequence number of the last request sent
    int timeout_ms = 130000; // limit for each reply (the agent's own limit is 120 s)
    Progress progress = nullptr;
    void *progress_ctx = nullptr;
    // Reply bytes read ahead of use.
    std::size_t rpos = 0, rlen = 0;
    std::array<unsigned char, 64 * 1024> rbuf;
};

// Starts argv[0] with the arguments, its standard input and output connected to the
// Agent (standard error is inherited), in a process group of its own: a terminal's
// interrupt reaches the station, which then ends the exchange in order, rather than
// the agent command in the middle of it. Returns 0 or ErrStart.
int agent_start(Agent &a, const std::vector<std::string> &argv);

// Uses the given descriptors (owned by the Agent from now on).
void agent_attach(Agent &a, int to, int from);

// Closes the request side only: the agent sees end of input and ends. For callers that
// end many agents and wait for them afterwards with agent_close.
void agent_end_input(Agent &a);

// Closes the request side (the agent sees end of input) and, when the agent was started
// here, waits up to timeout_ms for it; one that is still there is sent SIGTERM, so that
// it can remove what it left unfinished, and SIGKILL half a second later. Returns its
// exit status, 128 + signal number when killed by a signal, ErrTimeout when it had to
// be ended, or 0 for an attached agent.
int agent_close(Agent &a, int timeout_ms = 5000);

// Sends 'H' and reads the ten-byte reply. Returns 0, ErrHello, or a transport error.
int hello(Agent &a);

// Frame building, for callers (and tests) that need to send exact bytes.
void put_byte(std::string &f, unsigned char b);
void put_short(std::string &f, std::int16_t v);
void put_long(std::string &f, std::int32_t v);
void put_string(std::string &f, std::string_view s); // counted string: length, bytes
// 'A', the sequence number and the operation.
std::string request_header(std::int32_t seq, std::int16_t op);

// Raw transport. send_raw returns 0 or ErrWrite. read_exact returns 0, ErrTimeout or
// ErrClosed; read_long_value stores the value on 0.
int send_raw(Agent &a, std::string_view bytes);
int read_exact(Agent &a, void *p, std::size_t n, int timeout_ms);
int read_long_value(Agent &a, std::int32_t *v, int timeout_ms);

// Reads one response: skips bytes before 'R', then returns the status when the
// sequence number is expected, SeqMismatch (5) when it is another (its status bytes
// stay unread), or a transport error. *got_seq receives the number when not null.
int read_reply(Agent &a, std::int32_t expected, int timeout_ms, std::int32_t *got_seq = nullptr);

// Result of a download or checksum request.
struct FileInfo {
    std::int32_t length = 0;    // length announced by the agent
    std::uint32_t checksum = 0; // checksum sent by the agent
};

// What an upload from a local file did, for callers that report it.
struct UploadInfo {
    std::int64_t length = 0; // bytes announced to the agent
    int local_errno = 0;     // with ErrLocal: why the file could not be used (EISDIR or
                             // EINVAL not a regular file, EFBIG longer than 2147483647)
    int agent_status = 0;    // with ErrChanged: the agent's final status
};

// Operation 1 from memory.
int put(Agent &a, std::string_view dir, std::string_view name, std::string_view data);
// Operation 1 from a local file. ErrLocal before anything is sent when the file cannot
// be used; ErrChanged when it changed while it was sent (nothing was stored).
int put_path(Agent &a, std::string_view dir, std::string_view name, const char *path,
             UploadInfo *info = nullptr);
// Operation 2.
int rm(Agent &a, std::string_view dir, std::string_view name);
// Operation 5 into an open descriptor; the data are checked against the checksum.
int get_fd(Agent &a, std::string_view dir, std::string_view name, int fd, FileInfo *info = nullptr);
// Operation 5 into a local file (created or truncated, mode 0666 less the umask).
int get_path(Agent &a, std::string_view dir, std::string_view name, const char *path,
             FileInfo *info = nullptr);
// Operation 6: length and checksum only.
int sum(Agent &a, std::string_view dir, std::string_view name, FileInfo *info);
// Operation 3: the agent sends its file dir/name to host with the given length and
// checksum (those of the station's copy).
int push(Agent &a, std::string_view host, std::string_view dir, std::string_view name,
         std::int32_t length, std::uint32_t checksum);
// Operation 4.
int rmremote(Agent &a, std::string_view host, std::string_view dir, std::string_view name);
// Operation 7 from a local archive file, with the results of put_path.
int deploy(Agent &a, std::string_view appl, const char *archive, UploadInfo *info = nullptr);
// Operation 8.
int undeploy(Agent &a, std::string_view appl);

// Length and checksum of a local file as the agent computes them for its copy.
// Returns 0, or ErrLocal with the reason in info->local_errno.
int file_sum(const char *path, FileInfo *sum, UploadInfo *info = nullptr);

// The checksum of a whole buffer, as the data phase carries it.
std::uint32_t checksum_of(std::string_view data);

} // namespace station
