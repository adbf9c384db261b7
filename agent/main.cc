// tarko_remote2: the distribution agent. Serves the request protocol on standard input
// and output; see tarko_remote2(8).
#include "alarm.h"
#include "log.h"
#include "loop.h"

#include <sys/stat.h>

int main() {
    fill_standard_descriptors();
    // Files and directories get exactly the modes the agent asks for (0666, 0777).
    umask(0);
    catch_sigpipe();
    catch_termination();
    log_init();
    arm_alarm(0, SignalAlarmTimeout);
    read_requests();
    close_log_file();
    return 0;
}
