// Files as the tests read and write them: whole, in one call.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace testfiles {

// The whole content of path; empty when it cannot be read.
std::string read_file(const std::string &path);

// The whole content of an open stream, read from its start.
std::string read_stream(FILE *f);

// Replaces the content of path with data, creating missing directories above it.
void write_file(const std::string &path, const std::string &data);

// The messages of the agent's log lines ("HH:MM:SS message"), without their time
// stamps; lines of any other shape are left out.
std::vector<std::string> log_messages(const std::string &log);

// Runs f with standard error going to a file of its own (so that children f starts may
// write to it too, without a reader to wait for), and returns what was written there.
std::string capture_stderr(const std::function<void()> &f);

} // namespace testfiles
