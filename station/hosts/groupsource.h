// Host groups kept by other tools (an Ansible inventory, a genders file, a CMDB): a line
// "@SOURCE = COMMAND" of the host file declares a source, and @SOURCE:GROUP takes the
// hosts that COMMAND prints for GROUP.
#pragma once

#include <string>

constexpr int SOURCE_SECONDS = 10; // how long a source may take to answer

// Runs command through /bin/sh -c in dir, every "{group}" in it replaced by group quoted
// for the shell. Returns true with what it printed on standard output in out when it
// exited 0 within SOURCE_SECONDS; otherwise false with what happened in why (its
// status, a signal, the time limit, the last line it wrote to standard error). Each
// source and group is asked once per process: later calls give the first answer.
bool source_ask(const std::string &source, const std::string &command, const std::string &dir,
                const std::string &group, std::string &out, std::string &why);

// text in single quotes for /bin/sh, the quotes inside it kept.
std::string shell_quote(const std::string &text);
