// The request loop: frames, sequence numbers and the dispatch to the handlers.
#include "loop.h"

#include "alarm.h"
#include "deploy.h"
#include "fileops.h"
#include "log.h"
#include "protocol.h"
#include "relay.h"
#include "stream.h"
#include "wire.h"

#include <fcntl.h>
#include <unistd.h>

namespace {
void SignalPipeIgnored(int) {}
} // namespace

void fill_standard_descriptors() {
    int fd;
    do
        fd = open("/dev/null", O_RDWR);
    while (fd >= 0 && fd <= STDERR_FILENO);
    if (fd > STDERR_FILENO)
        close(fd);
}

void catch_sigpipe() {
    struct sigaction sa {};
    sa.sa_handler = SignalPipeIgnored;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGPIPE, &sa, nullptr);
}

namespace {

// Hands the request to the handler of its operation. Any value outside the table is
// answered BadOperation; the switch covers every Op, so a new one cannot be forgotten.
Status dispatch(std::int16_t op, std::int32_t seq) {
    switch (static_cast<Op>(op)) {
    case Op::Put:
        return put_file_on_machine(seq);
    case Op::Delete:
        return delete_file_on_machine();
    case Op::Push:
        return push_file_to_rmt_machine();
    case Op::DeleteRemote:
        return delete_file_on_rmt_machine();
    case Op::Get:
        return get_file_from_machine(seq, true);
    case Op::Sum:
        return get_file_from_machine(seq, false);
    case Op::Deploy:
        return put_audium_appl_on_machine(seq);
    case Op::Undeploy:
        return delete_audium_appl_from_machine();
    }
    return Status::BadOperation;
}

} // namespace

void read_requests() {
    // Counted unsigned so that the count wraps like the peer's instead of overflowing.
    std::uint32_t count = 0;
    arm_alarm(FIRST_REQUEST_LIMIT, SignalAlarmTimeout);
    for (;;) {
        int c = read_char(std_in);
        if (c == HELLO_MARK) {
            print_hello();
            continue;
        }
        if (c != REQUEST_MARK)
            continue;
        std::int32_t seq = read_long(std_in);
        count++;
        auto expected = static_cast<std::int32_t>(count);
        if (seq != expected) {
            send_response(expected, Status::SeqMismatch);
            stream_flush(std_out);
            return;
        }
        arm_alarm(REQUEST_LIMIT, SignalAlarmTimeout);
        std::int16_t op = read_short(std_in);
        // The operations that wait on other hosts or on the server's scripts do not keep
        // the answers before them waiting too.
        if (op != static_cast<std::int16_t>(Op::Put) && op != static_cast<std::int16_t>(Op::Get) &&
            op != static_cast<std::int16_t>(Op::Sum) && op != static_cast<std::int16_t>(Op::Delete))
            stream_flush(std_out);
        send_response(expected, dispatch(op, expected));
    }
}
