#include "outcome.h"

#include <array>
#include <utility>

namespace {
constexpr std::array<std::pair<Outcome, const char *>, 10> STATION_MEANINGS{{
    {Outcome::SomeHostFailed, "one host or more failed"},
    {Outcome::Usage, "usage error"},
    {Outcome::LocalChanged, "the local file changed while it was sent"},
    {Outcome::LocalUnreadable, "the local file cannot be read"},
    {Outcome::HostUnavailable, "the host did not answer"},
    {Outcome::NoChild, "no process could be created for the host"},
    {Outcome::LocalUnwritable, "the local file cannot be written"},
    {Outcome::ConnectionLost, "the connection to the agent was lost"},
    {Outcome::Protocol, "the agent broke the protocol"},
    {Outcome::Ok, "success"},
}};
} // namespace

const char *outcome_meaning(int code) {
    for (auto &m : STATION_MEANINGS)
        if (::code(m.first) == code)
            return m.second;
    if (status_known(code))
        return status_meaning(code);
    if (code > 128 && code < 128 + 65)
        return "killed by a signal";
    return "unknown status";
}
