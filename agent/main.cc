// tarko_remote2: the distribution agent. Serves the request protocol on standard input
// and output; see tarko_remote2(8).
#include "log.h"
#include "loop.h"

#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// An agent started without one of the descriptors 0, 1 and 2 would hand that number to
// the next file or pipe it opens, and answers or log lines would then land in an
// upload or a relay pipe: each missing one is taken by /dev/null first.
void fill_standard_descriptors() {
    int fd;
    do
        fd = open("/dev/null", O_RDWR);
    while (fd >= 0 && fd <= STDERR_FILENO);
    if (fd > STDERR_FILENO)
        close(fd);
}

} // namespace

int main() {
    fill_standard_descriptors();
    // Files and directories get exactly the modes the agent asks for (0666, 0777).
    umask(0);
    catch_sigpipe();
    log_init();
    arm_alarm(0, SignalAlarmTimeout);
    read_requests();
    close_log_file();
    return 0;
}
