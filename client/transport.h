// Reaching hosts through OpenSSH (--ssh, TARKO_TRANSPORT=ssh): the agent command, one
// shared connection per host kept for a minute after a run so that the next run skips
// the handshake, and ssh's own complaint turned into one line about the host.
#pragma once

#include <cstddef>

// The agent on the far side of ssh.
constexpr const char *SSH_REMOTE_AGENT = "/usr/local/bin/tarko_remote2";

// The ssh agent command template ("{host}" for the host), for hosts that must answer
// within answer_seconds, written into out (capacity cap). Makes the directory of the
// shared connections (mode 0700) if missing. Returns 0; 1 with the reason in err
// (capacity errcap) when there is no usable directory for them.
int ssh_agent_command(int answer_seconds, char *out, std::size_t cap, char *err,
                      std::size_t errcap);

// The directory of the shared connections and of ssh's logs: $XDG_RUNTIME_DIR/tarko-ssh
// when that runtime directory exists, else $HOME/.cache/tarko/ssh. Returns 0; 1 when
// neither can be named within cap.
int ssh_dir(char *out, std::size_t cap);

// The control socket of the shared connection to host (ssh's ControlPath in the agent
// command), into out (capacity cap). Returns 0; 1 when it cannot be named within cap.
int ssh_socket(const char *host, char *out, std::size_t cap);

// What went wrong with ssh for host, from ssh's log of this run, as one line into msg
// (capacity cap). Returns true when the log said something, false otherwise.
bool ssh_explain(const char *host, char *msg, std::size_t cap);

// Classifies one line of ssh's complaint into msg: unknown host key, refused key,
// unreachable host, unknown name, broken shared connection, or else ssh's line
// itself. Always fills msg.
void ssh_classify(const char *line, char *msg, std::size_t cap);

// Removes ssh's log of this run for host (once the connection stands or has failed).
void ssh_forget(const char *host);
