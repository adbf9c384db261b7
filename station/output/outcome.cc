#include "outcome.h"

#include <array>
#include <csignal>
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

// The signals that end the station in order.
constexpr std::array<std::pair<int, const char *>, 3> INTERRUPT_MEANINGS{{
    {SIGHUP, "interrupted (hangup)"},
    {SIGINT, "interrupted"},
    {SIGTERM, "interrupted (terminated)"},
}};
} // namespace

const char *outcome_meaning(int code) {
    for (auto &m : STATION_MEANINGS)
        if (::code(m.first) == code)
            return m.second;
    for (auto &m : INTERRUPT_MEANINGS)
        if (interrupted_code(m.first) == code)
            return m.second;
    if (status_known(code))
        return status_meaning(code);
    if (code > 128 && code < 128 + 65)
        return "killed by a signal";
    return "unknown status";
}
