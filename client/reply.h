// What a request of the station's protocol client comes to: the final status that the
// agent sent, or a failure on the station's side. The two are kept apart by type, so
// that neither is ever taken for the other, nor for an exit status of the station.
#pragma once

#include "status.h"

#include <cstdint>

namespace station {

// Failures on the station's side of an exchange.
enum class ClientError : std::int8_t {
    None,        // no failure (only the transport calls return it)
    Timeout,     // no complete reply within the time limit
    Closed,      // the agent's output ended (the connection is lost)
    Write,       // writing to the agent failed
    Local,       // a local file could not be opened, read or written (errno kept)
    Checksum,    // downloaded data did not match the agent's checksum
    Hello,       // the hello reply was not "HELLO_v2x"
    Argument,    // a name or length the agent cannot accept; nothing was sent
    Protocol,    // the agent answered something the exchange does not allow
    Changed,     // the local file changed while it was sent; the agent was given a checksum
                 // that cannot match, so it stored nothing
    Interrupted, // the station was told to end (see interrupted in client.h)
};

// The result of one request: a Status or a ClientError, tagged. It compares equal to
// the Status or ClientError it holds and to nothing else.
class Reply {
  public:
    constexpr Reply(Status s) : failed_(false), value_(static_cast<std::int16_t>(s)) {}
    constexpr Reply(ClientError e) : failed_(true), value_(static_cast<std::int16_t>(e)) {}

    // True when the agent answered with a status (any status, success or not).
    constexpr bool answered() const { return !failed_; }
    // True when the agent answered Ok.
    constexpr bool ok() const { return !failed_ && value_ == 0; }
    // The agent's status; Status::Ok when it did not answer (then see error()).
    constexpr Status status() const { return failed_ ? Status::Ok : static_cast<Status>(value_); }
    // The station's failure; ClientError::None when the agent answered.
    constexpr ClientError error() const {
        return failed_ ? static_cast<ClientError>(value_) : ClientError::None;
    }

    friend constexpr bool operator==(Reply, Reply) = default;

  private:
    bool failed_;
    std::int16_t value_;
};

} // namespace station
