// The site library: the error log (errlog.h), the remote log spool, and the timed socket
// I/O and connect operations of the port query clients.
#pragma once

#include "errlog.h"

// ---- Remote log spool -------------------------------------------------------------

// Spool directory drained by the collector; one file per target host and hour.
inline constexpr char spool_dir[] = "/usr/logs/tosend";

// Longest target host name used in a spool file name; longer names are cut.
inline constexpr int spool_host_max = 64;

// Delivers line (NUL-terminated, newline included) into the file path on host. When host
// is this machine the line is appended to path directly; otherwise a spool_record
// (32-bit native path_len, line_len, path and NUL, line and NUL) is appended to
// "/usr/logs/tosend/<HOST><DD><HH>". Runs with umask 0 and restores the caller's umask
// on every return. Returns 0 when the line or record was written, -1 when a file could
// not be opened or written (also logged with code "LAJ", which stays local).
int rlogger(const char *host, const char *path, const char *line);

// Whether name names this machine, ignoring case: 0 when it equals the host name, the
// resolved official name or one of its aliases; -1 when the host name cannot be read;
// -2 when the host name cannot be resolved; -3 when nothing matches.
int is_local_host(const char *name);

// ---- Timed socket I/O -------------------------------------------------------------

// Writes length bytes to socket s, repeating interrupted writes (each one logged with
// code "LCL"). The write calls block; the limit (seconds) is looked at between them.
// Clears errno on entry. A peer that has gone away gives an error, never SIGPIPE.
// Returns 0 when all bytes are written, -1 on a write error, -2 when more than limit
// seconds passed with bytes still unwritten.
int timed_send(int s, const void *buffer, int length, int limit);

// Reads exactly length bytes from socket s into buffer within limit seconds, gathering
// pieces (on a datagram socket one datagram per read, cut to the bytes still missing).
// Clears errno on entry; never writes past buffer + length.
// Returns 0 when all bytes arrived (also at once for a length of 0 or less),
// -1 on a read error, -2 when the limit ran out, -3 when the readiness wait failed
// (a negative limit, or a descriptor outside 0..FD_SETSIZE-1, refused without waiting),
// -4 when the peer ended the stream or sent an empty datagram, -5 when the wait reported
// readiness but not for s.
int timed_recv(int s, void *buffer, int length, int limit);

// ---- Connect ------------------------------------------------------------------------

// Server host used when a port specification names none. Like central_log_host, a short
// name for the site's host database to map.
inline constexpr char default_server_host[] = "quipsrv";

// The socket of the current query, set by connect_port (and by the datagram clients from
// connect_dgram_port); -1 while there is none.
extern int port_sock;

// Splits a port specification "<port>[@<host>]" in place (the "@" becomes the end of the
// text). *port is the low 16 bits of the number read by atoi rules (0 without digits);
// *host points after the "@", or to default_server_host when there is none.
void split_port_spec(char *spec, int *port, const char **host);

// How connect_port reports a failed socket or connection on standard error.
enum class ConnectMessages {
    plain,      // "Can't open port socket\n" only; a failed connect is silent (quip)
    with_errno, // both failures, each with the error number (quipwide)
};

// Opens a TCP connection to the specified port (spec is split in place), sets SO_LINGER
// {1, 0} and TCP_NODELAY (a failure of either is logged with code "LCL" and ignored).
// Returns 1 with port_sock set, 0 when the host does not resolve (silently), the socket
// cannot be created or the connection fails (reported as messages says).
int connect_port(char *spec, ConnectMessages messages);

// Opens a UDP socket connected to port of host. Returns the socket (0 or more);
// -200 * h_errno when host does not resolve (-200 for HOST_NOT_FOUND), -1 when the
// resolver fails without a resolver error code, -2 when no socket can be created, -3
// when it cannot be connected.
int connect_dgram_port(int port, const char *host);
