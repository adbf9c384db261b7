// tarko_remote2: the distribution agent. Serves the request protocol on standard input
// and output; see tarko_remote2(8).
#include "log.h"
#include "loop.h"

#include <csignal>
#include <cstdlib>
#include <sys/stat.h>

namespace {

// Catching SIGPIPE with a handler that does nothing, rather than ignoring it, has the
// same effect here (the write fails with EPIPE) but is not inherited: the rsh, sh and
// jar children start with the default action, as their own pipelines expect.
void SignalPipeIgnored(int) {}

} // namespace

int main() {
    // Files and directories get exactly the modes the agent asks for (0666, 0777).
    umask(0);
    // A write to a pipe whose reader has gone (a relay or script child, or the station)
    // must fail like any other write rather than end the agent.
    struct sigaction sa {};
    sa.sa_handler = SignalPipeIgnored;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &sa, nullptr);
    log_init();
    arm_alarm(0, SignalAlarmTimeout);
    read_requests();
    close_log_file();
    return 0;
}
