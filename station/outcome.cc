#include "outcome.h"

#include "status.h"

#include <array>
#include <utility>

namespace {
constexpr std::array<std::pair<int, const char *>, 13> kStation{{
    {1, "one host or more failed"},
    {64, "usage error"},
    {65, "the local file changed while it was sent"},
    {66, "the local file cannot be read"},
    {69, "the host did not answer"},
    {71, "no process could be created for the host"},
    {73, "the local file cannot be written"},
    {74, "the connection to the agent was lost"},
    {76, "the agent broke the protocol"},
    {0, "success"},
    {129, "interrupted (hangup)"},
    {130, "interrupted"},
    {143, "interrupted (terminated)"},
}};
} // namespace

const char *outcome_meaning(int code) {
    for (auto &m : kStation)
        if (m.first == code)
            return m.second;
    if (code >= 2 && code <= 23)
        return status_meaning(code);
    if (code > 128 && code < 128 + 65)
        return "killed by a signal";
    return "unknown status";
}
