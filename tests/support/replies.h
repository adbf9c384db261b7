// How the results of the station's protocol client read in a failed assertion: the
// status by number and meaning, a client error by name.
#pragma once

#include "reply.h"
#include "status.h"

#include <ostream>

inline void PrintTo(Status s, std::ostream *os) {
    *os << static_cast<int>(s) << " (" << status_meaning(s) << ")";
}

namespace station {

inline void PrintTo(ClientError e, std::ostream *os) {
    static constexpr const char *NAMES[] = {"None",     "Timeout",  "Closed",     "Write",
                                            "Local",    "Checksum", "Hello",      "Argument",
                                            "Protocol", "Changed",  "Interrupted"};
    *os << "ClientError::" << NAMES[static_cast<int>(e)];
}

inline void PrintTo(const Reply &r, std::ostream *os) {
    if (r.answered())
        ::PrintTo(r.status(), os);
    else
        PrintTo(r.error(), os);
}

} // namespace station
