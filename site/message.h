// Requests and replies between simsite clients (simsite exec, rsh, ...) and the site
// daemon: one datagram each over a SOCK_SEQPACKET abstract unix socket, the request
// carrying the client's standard input, output and error as passed descriptors.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

constexpr std::size_t kMaxMessage = 65536;

// A request: cmd is "exec", "status" or "down"; the rest only matter for "exec".
struct Request {
    std::string cmd;
    std::string host;
    std::string cwd;                // working directory inside the view; "/" when empty
    std::string argv0;              // argument 0 when not empty
    std::vector<std::string> env;   // NAME=VALUE entries over the host's environment
    std::vector<std::string> unset; // names removed from the host's environment
    std::vector<std::string> args;  // the command and its arguments
};

// Replies are one tag byte and text: 'S' exit status in decimal (the command ended),
// 'E' an error message (nothing was run), 'O' output of status and down.
constexpr char kReplyStatus = 'S';
constexpr char kReplyError = 'E';
constexpr char kReplyOutput = 'O';

// Encodes r as tagged NUL-terminated fields. Returns false when it exceeds kMaxMessage
// or a field holds a NUL byte.
bool encode_request(const Request &r, std::string *out);

// Decodes a request; false when the bytes are not a well-formed request.
bool decode_request(const char *buf, std::size_t n, Request *r);

// Sends data as one message with nfds descriptors attached. Returns 0, or -1 with errno.
int send_message(int sock, const std::string &data, const int *fds, int nfds);

// Receives one message into buf (capacity cap); passed descriptors (close-on-exec) go to
// fds, at most maxfds, their count to *nfds. Returns the length, 0 at end of stream, -1
// on error (errno), -2 when the message or its descriptors did not fit (any descriptors
// that came are closed then).
long recv_message(int sock, char *buf, std::size_t cap, int *fds, int maxfds, int *nfds);

// Connects to the daemon of site name. Returns the socket, or -1 with errno (ECONNREFUSED
// or ENOENT-like errors when no such site is up).
int connect_site(const char *site);
