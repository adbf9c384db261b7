#include "status.h"

#include <array>
#include <utility>

namespace {
constexpr std::array<std::pair<int, const char *>, 21> meanings{{
    {0, "success"},
    {1, "ready for the data phase"},
    {2, "general failure"},
    {3, "the target path names a directory"},
    {4, "a directory of the path exists but is not a directory"},
    {5, "sequence number mismatch"},
    {6, "checksum mismatch"},
    {7, "creating a directory failed"},
    {8, "the target file cannot be created or put in place"},
    {9, "short read of transfer data"},
    {10, "short write of transfer data"},
    {11, "the source file cannot be opened for reading"},
    {12, "the remote agent did not answer the hello"},
    {13, "creating a pipe failed"},
    {14, "creating a process failed"},
    {15, "operation number not recognised"},
    {17, "no complete response from the remote agent within the time limit"},
    {19, "AUDIUM_HOME is not set"},
    {20, "JAVA_HOME is not set"},
    {21, "linking the application's log directory failed"},
    {23, "the master admin directory is missing or not a directory"},
}};
} // namespace

const char *status_meaning(int code) {
    for (auto &m : meanings)
        if (m.first == code)
            return m.second;
    return "unknown status";
}
