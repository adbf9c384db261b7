// The Audium admin script runner. The server is driven only through its admin shell
// scripts; each one is run with a time limit, every question it asks is answered "y",
// and its output is copied into the activity log and reduced to a result class by the
// first line that ends in a phrase we know.
#include "audium.h"

#include "alarm.h"
#include "format.h"
#include "log.h"
#include "stream.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

// Room for "<home>/applications/<appl>/admin/<script>" with every home and name that
// the deployment accepts; longer ones are refused rather than cut.
constexpr std::size_t SCRIPT_PATH_CAP = 256;
// An output line holds at most LINE_CAP - 1 characters; the rest of a longer one is
// dropped.
constexpr std::size_t LINE_CAP = 200;
// How long a script may take to end once its output has closed.
constexpr unsigned GRACE = 15;

struct Phrase {
    const char *text;
    ScriptResult result;
};

// Tried in this order: "is running." before "running.", so the longer phrase decides.
constexpr std::array<Phrase, 8> PHRASES{{
    {"is running.", ScriptResult::Running},
    {"is not a valid application name.", ScriptResult::NoSuchApp},
    {"running.", ScriptResult::Running},
    {"resumed.", ScriptResult::Running},
    {"updated.", ScriptResult::Updated},
    {"suspended.", ScriptResult::Suspended},
    {"suspended state.", ScriptResult::Suspended},
    {"released from memory.", ScriptResult::Released},
}};

constexpr char ANSWER[] = "y\r\n";

ScriptResult classify(const char *line) {
    for (const Phrase &p : PHRASES)
        if (end_matches(line, p.text))
            return p.result;
    return ScriptResult::Unknown;
}

// Answers a question. The pipe is non-blocking, so a script that has stopped reading
// costs us a failed write and nothing more; one that closed its input gives EPIPE.
void answer(int fd) {
    ssize_t n;
    do {
        n = write(fd, ANSWER, sizeof ANSWER - 1);
    } while (n < 0 && errno == EINTR && !audiumtimedout);
}

// Ends the current line: logs it unless empty and lets the first recognised line set
// the result.
void end_line(std::array<char, LINE_CAP> &line, std::size_t &used, ScriptResult &result) {
    if (used > 0) {
        log_entry("From Audium: %s", line.data());
        if (result == ScriptResult::Unknown)
            result = classify(line.data());
    }
    line.fill(0);
    used = 0;
}

// Reads the script's output byte by byte until it ends or the limit expires.
void read_output(int out, int in, ScriptResult &result) {
    std::array<char, LINE_CAP> line{};
    std::size_t used = 0;
    char c;
    while (wait_readable(out) && read(out, &c, 1) == 1) {
        if (c == '\r')
            continue;
        if (c != '\n' && used < LINE_CAP - 1)
            line[used++] = c;
        if (c == '?') {
            // The question itself is not logged.
            line.fill(0);
            used = 0;
            answer(in);
        } else if (c == '\n' || c == '.') {
            end_line(line, used, result);
        }
    }
}

[[noreturn]] void exec_script(const char *admin, const char *path, const int out[2],
                              const int in[2]) {
    close(out[0]);
    close(in[1]);
    // The pipe ends are above standard error (main keeps 0 to 2 open), and close-on-exec:
    // only the copies made here reach the script.
    dup2(in[0], STDIN_FILENO);
    dup2(out[1], STDOUT_FILENO);
    if (chdir(admin) < 0) {
        // The shell reports a missing script itself.
    }
    execl("/bin/sh", "/bin/sh", path, static_cast<char *>(nullptr));
    log_entry("Exec of %s failed", path);
    _exit(1);
}

} // namespace

int end_matches(const char *line, const char *phrase) {
    std::size_t len = std::strlen(line);
    std::size_t plen = std::strlen(phrase);
    while (len > 1 && (line[len - 1] == '\n' || line[len - 1] == '\r' || line[len - 1] == ' '))
        --len;
    if (len < plen)
        return 0;
    return std::memcmp(line + len - plen, phrase, plen) == 0 ? 1 : 0;
}

ScriptResult run_audium_script(const char *appl, const char *home, const char *script,
                               unsigned limit) {
    ScriptResult result = ScriptResult::Unknown;
    std::array<char, SCRIPT_PATH_CAP> admin{}, path{};
    if (!format_fits(admin, "%s/applications/%s/admin", home, appl) ||
        !format_fits(path, "%s/%s", admin.data(), script)) {
        log_entry("Audium script path for %s too long", appl);
        return ScriptResult::Suspended;
    }
    log_entry("Audium Shell: %s", path.data());

    // Close-on-exec, so that neither the script nor anything it leaves running holds on
    // to the other pipe's ends.
    int out[2], in[2];
    if (pipe2(out, O_CLOEXEC) < 0) {
        log_entry("Pipe for audium shell failed (%s)", std::strerror(errno));
        return ScriptResult::Suspended;
    }
    if (pipe2(in, O_CLOEXEC) < 0) {
        log_entry("Pipe for audium shell failed (%s)", std::strerror(errno));
        close(out[0]);
        close(out[1]);
        return ScriptResult::Suspended;
    }
    pid_t pid = fork();
    if (pid == 0)
        exec_script(admin.data(), path.data(), out, in);
    close(out[1]);
    close(in[0]);
    if (pid < 0) {
        log_entry("Fork for audium shell failed");
        close(out[0]);
        close(in[1]);
        return ScriptResult::Suspended;
    }
    // Answers must never block us: a script that stopped reading simply loses them.
    fcntl(in[1], F_SETFL, fcntl(in[1], F_GETFL) | O_NONBLOCK);

    audiumtimedout = 0;
    arm_alarm(limit, SignalAudiumTimeout);
    read_output(out[0], in[1], result);

    // Give the script its grace to end; one that outlives it is left running.
    arm_alarm(GRACE, SignalAudiumTimeout);
    int st;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR && !audiumtimedout) {
    }
    if (audiumtimedout) {
        log_entry("Timeout: No response from Audium");
        result = ScriptResult::Suspended;
    }
    arm_alarm(REQUEST_LIMIT, SignalAlarmTimeout);
    close(out[0]);
    close(in[1]);
    return result;
}

int audium_server_load(const char *appl, const char *home) {
    ScriptResult status = run_audium_script(appl, home, "status.sh", 15);
    switch (status) {
    case ScriptResult::Running:
        // A running application is updated in place.
        return run_audium_script(appl, home, "updateApp.sh", 60) == ScriptResult::Updated ? 0 : 2;
    case ScriptResult::NoSuchApp: {
        // New to the server: deploy it; it must come up running, or suspended and then
        // resume.
        ScriptResult deployed = run_audium_script(appl, home, "deployApp.sh", 60);
        if (deployed == ScriptResult::Running)
            return 0;
        if (deployed == ScriptResult::Suspended &&
            run_audium_script(appl, home, "resumeApp.sh", 15) == ScriptResult::Running)
            return 0;
        return 2;
    }
    case ScriptResult::Suspended:
        // Sent the update all the same, but a suspended application is not in service.
        if (run_audium_script(appl, home, "updateApp.sh", 60) != ScriptResult::Updated)
            log_entry("Returned status unknown");
        return 2;
    case ScriptResult::Unknown:
        log_entry("Returned status unknown");
        return 2;
    default:
        log_entry("Bad status returned");
        return 2;
    }
}
