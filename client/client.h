// The station side of the agent protocol: starting or attaching to a tarko_remote2,
// the hello, frame building, and one blocking call per operation. Each call is a run of
// one request through the engine (pipeline.h), which holds every data phase, deadline,
// pacer and interrupt; the raw transport calls below are for tests and tools that need
// exact bytes.
//
// Results: every call that performs a request returns a Reply: the agent's final status
// (status.h) or a ClientError (reply.h). No exceptions are thrown. Sequence numbers are
// managed by the Agent: each request call uses the next one.
#pragma once

#include "pacer.h"
#include "protocol.h"
#include "reply.h"
#include "status.h"

#include <array>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace station {

// The signal that told the station to end (SIGINT, SIGTERM or SIGHUP), 0 until one
// came. Set by the station's handler; every wait for the agent and every write to it
// then gives up with ClientError::Interrupted, so that the command can close its
// connection and let the agent clean up.
extern volatile sig_atomic_t interrupted;

// Called during data phases with the bytes moved so far and the total.
using Progress = void (*)(void *ctx, std::int64_t done, std::int64_t total);

struct Agent {
    pid_t pid = -1;          // the agent process when started by agent_start, else -1
    int mux = -1;            // the control connection of agent_start_shared, else -1
    int to = -1;             // descriptor the requests are written to
    int from = -1;           // descriptor the replies are read from
    std::int32_t seq = 0;    // sequence number of the last request sent
    int timeout_ms = 130000; // limit for each reply (the agent's own limit is 120 s)
    Progress progress = nullptr;
    void *progress_ctx = nullptr;
    Pacer *pacer = nullptr; // paces what is written to the agent when not null
    bool signalled = false; // set by agent_close: the agent command died by a signal
    // Reply bytes read ahead of use.
    std::size_t rpos = 0, rlen = 0;
    std::array<unsigned char, 64 * 1024> rbuf;
};

// Starts argv[0] with the arguments, its standard input and output connected to the
// Agent (standard error is inherited), in a process group of its own: a terminal's
// interrupt reaches the station, which then ends the exchange in order, rather than
// the agent command in the middle of it. Returns true when it started; false with
// errno set when it could not be.
bool agent_start(Agent &a, const std::vector<std::string> &argv);

// Starts command on a host through the master of a shared ssh connection listening at
// socket (sshmux.h), with standard error inherited, without starting ssh. Returns
// true when the master took the session; false with errno set otherwise.
bool agent_start_shared(Agent &a, const char *socket, const char *command);

// Uses the given descriptors (owned by the Agent from now on).
void agent_attach(Agent &a, int to, int from);

// Closes the request side only: the agent sees end of input and ends. For callers that
// end many agents and wait for them afterwards with agent_close.
void agent_end_input(Agent &a);

// agent_close's result for an agent that did not end in time and had to be ended.
constexpr int AGENT_KILLED = -1;

// Closes the request side (the agent sees end of input) and, when the agent was started
// here, waits up to timeout_ms for it; one that is still there is sent SIGTERM, so that
// it can remove what it left unfinished, and SIGKILL half a second later (a session of
// agent_start_shared is ended by closing its control connection). Returns its
// exit status, 128 + signal number when killed by a signal (signalled tells that from
// an exit status of 128 or more), AGENT_KILLED when it had to be ended, or 0 for an
// attached agent.
int agent_close(Agent &a, int timeout_ms = 5000);

// Sends 'H' and reads the ten-byte reply. Returns Status::Ok for an agent's hello,
// ClientError::Hello for any other reply, or the transport's failure.
Reply hello(Agent &a);

// The two halves of hello, so that the hellos of several agents can be on their way at
// once: hello_send returns the transport's failure or None.
ClientError hello_send(Agent &a);
Reply hello_receive(Agent &a);

// Frame building, for callers (and tests) that need to send exact bytes.
void put_byte(std::string &f, unsigned char b);
void put_short(std::string &f, std::int16_t v);
void put_long(std::string &f, std::int32_t v);
void put_string(std::string &f, std::string_view s); // counted string: length, bytes
// 'A', the sequence number and the operation; the second form takes any wire value, for
// tests of operations that do not exist.
std::string request_header(std::int32_t seq, Op op);
std::string request_header(std::int32_t seq, std::int16_t op);

// Raw transport. send_raw returns None, Write or Interrupted. read_exact returns None,
// Timeout, Closed or Interrupted; read_long_value stores the value on None.
ClientError send_raw(Agent &a, std::string_view bytes);
ClientError read_exact(Agent &a, void *p, std::size_t n, int timeout_ms);
ClientError read_long_value(Agent &a, std::int32_t *v, int timeout_ms);

// Reads one response: skips bytes before 'R', then returns the status when the
// sequence number is expected, SeqMismatch when it is another (its status bytes stay
// unread), or the transport's failure. *got_seq receives the number when not null.
Reply read_reply(Agent &a, std::int32_t expected, int timeout_ms, std::int32_t *got_seq = nullptr);

// Result of a download or checksum request.
struct FileInfo {
    std::int32_t length = 0;    // length announced by the agent
    std::uint32_t checksum = 0; // checksum sent by the agent
};

// What an upload from a local file did, for callers that report it.
struct UploadInfo {
    std::int64_t length = 0;          // bytes announced to the agent
    int local_errno = 0;              // with Local: why the file could not be used (EISDIR or
                                      // EINVAL not a regular file, EFBIG longer than 2147483647)
    Status agent_status = Status::Ok; // with Changed: the agent's final status
    std::uint32_t checksum = 0;       // the checksum sent with the data, once it was sent
};

// Operation 1 from memory.
Reply put(Agent &a, std::string_view dir, std::string_view name, std::string_view data);
// Operation 1 from a local file. Local before anything is sent when the file cannot
// be used; Changed when it changed while it was sent (nothing was stored).
Reply put_path(Agent &a, std::string_view dir, std::string_view name, const char *path,
               UploadInfo *info = nullptr);
// Operation 2.
Reply rm(Agent &a, std::string_view dir, std::string_view name);
// Operation 5 into an open descriptor; the data are checked against the checksum.
Reply get_fd(Agent &a, std::string_view dir, std::string_view name, int fd,
             FileInfo *info = nullptr);
// Operation 5 into a local file (created or truncated, mode 0666 less the umask).
Reply get_path(Agent &a, std::string_view dir, std::string_view name, const char *path,
               FileInfo *info = nullptr);
// Operation 6: length and checksum only.
Reply sum(Agent &a, std::string_view dir, std::string_view name, FileInfo *info);
// Operation 3: the agent sends its file dir/name to host with the given length and
// checksum (those of the station's copy).
Reply push(Agent &a, std::string_view host, std::string_view dir, std::string_view name,
           std::int32_t length, std::uint32_t checksum);
// Operation 4.
Reply rmremote(Agent &a, std::string_view host, std::string_view dir, std::string_view name);
// Operation 7 from a local archive file, with the results of put_path.
Reply deploy(Agent &a, std::string_view appl, const char *archive, UploadInfo *info = nullptr);
// Operation 8.
Reply undeploy(Agent &a, std::string_view appl);

// Length and checksum of a local file as the agent computes them for its copy, and
// when mtime_ns is given, when the file was last changed (in nanoseconds). Returns true,
// or false with the reason in info->local_errno.
bool file_sum(const char *path, FileInfo *sum, UploadInfo *info = nullptr,
              std::int64_t *mtime_ns = nullptr);

// True when the file open on fd, whose state was before when it was opened and whose
// name is path, grew, was rewritten or was replaced since (fd is read at its end).
bool file_changed_since(int fd, const struct stat &before, const char *path);

// The checksum of a whole buffer, as the data phase carries it.
std::uint32_t checksum_of(std::string_view data);

} // namespace station
