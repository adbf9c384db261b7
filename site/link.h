// Shaping the link of one host of a networked site, to model a wide-area line: a rate
// (tbf) and a delay (netem), in both directions, set on the switch's port of the host
// (towards the host) and on the host's eth0 (from the host). On a kernel without netem
// the delay goes through a delay line between the port and the bridge (delayline.h),
// the same delay in each direction.
#pragma once

#include "net.h"

#include <string>

// The shape of a link; an empty rate and a delay of 0 clear it.
struct LinkShape {
    std::string rate; // as tc takes it: "100mbit", "512kbit", ...
    int delay_ms = 0;
};

// Applies shape to the link of hosts[i]. Returns true, or false with a message in *err
// (tc's own, or why the delay line could not start). A delay line of the host that
// ran before ends.
bool shape_link(const HostProc &host, std::size_t i, const LinkShape &shape, std::string *err);

// Ends the delay lines of every host, for a site going down.
void end_links();
