// Files as the tests read and write them: whole, in one call.
#pragma once

#include <string>
#include <vector>

namespace testfiles {

// The whole content of path; empty when it cannot be read.
std::string read_file(const std::string &path);

// Replaces the content of path with data, creating missing directories above it.
void write_file(const std::string &path, const std::string &data);

// The messages of the agent's log lines ("HH:MM:SS message"), without their time
// stamps; lines of any other shape are left out.
std::vector<std::string> log_messages(const std::string &log);

} // namespace testfiles
