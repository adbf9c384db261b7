// The alarm clock and the signals that end the agent. The clock is shared by the
// request loop, the relay's timed reads and the admin script runner; each borrower
// re-arms the request limit when it is done.
#include "alarm.h"

#include "cleanup.h"
#include "log.h"
#include "stream.h"

#include <unistd.h>

volatile sig_atomic_t audiumtimedout = 0;

namespace {

// Gives sig its default action again and unblocks it: from a handler that runs with
// sig blocked, the next one then takes the default action at once.
void restore_default(int sig) {
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
}

} // namespace

void SignalAlarmTimeout(int) {
    // The limit must end the agent even when the handler itself cannot finish its line
    // (standard error blocked by a reader that stopped reading): a second alarm with
    // the default action takes the process down then. SIGALRM stays blocked while its
    // own handler runs, so it is unblocked here, or that second alarm would only wait.
    restore_default(SIGALRM);
    // A request to end that comes now waits: this handler ends the agent itself.
    sigset_t term;
    sigemptyset(&term);
    for (int sig : {SIGTERM, SIGHUP, SIGINT})
        sigaddset(&term, sig);
    sigprocmask(SIG_BLOCK, &term, nullptr);
    alarm(5);
    log_entry_from_signal("Remote timed out");
    cleanup_now("");
    close_log_file();
    _exit(1);
}

void SignalTerminate(int sig) {
    // The line says which signal; digits by hand, as nothing else is safe here.
    char prefix[32] = "Ended by signal ";
    std::size_t n = sizeof "Ended by signal " - 1;
    if (sig >= 10)
        prefix[n++] = static_cast<char>('0' + sig / 10 % 10);
    prefix[n++] = static_cast<char>('0' + sig % 10);
    prefix[n++] = ';';
    prefix[n++] = ' ';
    prefix[n] = '\0';
    if (cleanup_now(prefix))
        close_log_file();
    // Then end as the signal would have ended the agent without this handler.
    restore_default(sig);
    raise(sig);
    _exit(128 + sig);
}

void SignalReadTimeout(int) {
    stream_interrupt = 1;
}

void SignalAudiumTimeout(int) {
    audiumtimedout = 1;
    stream_interrupt = 1;
}

void catch_termination() {
    struct sigaction sa {};
    sa.sa_handler = SignalTerminate;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGHUP, SIGINT, SIGALRM})
        sigaddset(&sa.sa_mask, sig);
    for (int sig : {SIGTERM, SIGHUP, SIGINT})
        sigaction(sig, &sa, nullptr);
}

void arm_alarm(unsigned seconds, void (*handler)(int)) {
    // Every request re-arms the clock: with the handler already in place that is one
    // call, which replaces the old alarm at once, before an interruption it may have
    // left is cleared.
    static void (*installed)(int) = nullptr;
    if (handler == installed) {
        alarm(seconds);
        stream_interrupt = 0;
        return;
    }
    installed = handler;
    // No SA_RESTART: a read or wait blocked when the alarm fires must fail with EINTR.
    struct sigaction sa {};
    sa.sa_handler = handler;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    alarm(0);
    stream_interrupt = 0;
    sigaction(SIGALRM, &sa, nullptr);
    alarm(seconds);
}
