// tarko_remote2: the distribution agent. Serves the request protocol on standard input
// and output; see tarko_remote2(8).
#include "log.h"
#include "loop.h"

#include <csignal>
#include <cstdlib>
#include <sys/stat.h>

int main() {
    // Files and directories get exactly the modes the agent asks for (0666, 0777).
    umask(0);
    // A write to a pipe whose reader has gone (a relay or script child, or the station)
    // must fail like any other write rather than end the agent.
    signal(SIGPIPE, SIG_IGN);
    log_init();
    arm_alarm(0, SignalAlarmTimeout);
    read_requests();
    close_log_file();
    return 0;
}
