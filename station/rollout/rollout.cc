#include "rollout.h"

#include "client.h"
#include "commands.h"
#include "fanout.h"
#include "fdio.h"
#include "fleet.h"
#include "fold.h"
#include "ndjson.h"
#include "outcome.h"
#include "rollout_plan.h"
#include "rollout_store.h"
#include "runs.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

// A host's code when its deployment answered 0 but its check did not pass.
constexpr int CHECK_FAILED = 90;
constexpr int HALTED_MIXED = 3;

// The states a host goes through, as the journal writes them, and as the table shows
// them, in the table's order.
struct StateName {
    const char *word, *label;
};
constexpr StateName STATES[] = {
    {"current", "current"},
    {"updated", "updated"},
    {"refused", "refused (host put its old version back)"},
    {"unhealthy", "unhealthy"},
    {"unreachable", "unreachable"},
    {"rolled_back", "rolled back"},
    {"rollback_failed", "rollback failed"},
    {"cannot_roll_back", "cannot roll back"},
    {"deploying", "interrupted (--resume deploys it again)"},
    {"untouched", "untouched"},
};

bool is_failure(const std::string &s) {
    return s == "refused" || s == "unhealthy" || s == "unreachable";
}

// What the rollout changed on a host and a rollback has to undo.
bool is_changed(const std::string &s) {
    return s == "updated" || s == "unhealthy";
}

double now() {
    return static_cast<double>(monotonic_ms()) / 1000.0;
}

// Sleeps, giving up at once when the station is told to end.
void pause_for(double seconds) {
    long long until = monotonic_ms() + static_cast<long long>(seconds * 1000);
    while (!station::interrupted && monotonic_ms() < until)
        usleep(20000);
}

std::string with_host(const std::string &text, const char *host) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); i++) {
        if (text.compare(i, 6, "{host}") == 0) {
            out += host;
            i += 5;
        } else {
            out += text[i];
        }
    }
    return out;
}

// One try of the check: /bin/sh -c on the station, its output passed on with the
// host's other lines, killed with its process group when it outlasts the time limit.
// Returns its exit status, or -1 when it was killed.
int check_once(const std::string &command, double limit) {
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        signal(SIGINT, SIG_DFL);
        signal(SIGTERM, SIG_DFL);
        signal(SIGHUP, SIG_DFL);
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    if (pid < 0)
        return -1;
    setpgid(pid, pid);
    long long until = monotonic_ms() + static_cast<long long>(limit * 1000);
    int st = 0;
    for (;;) {
        pid_t w = waitpid(pid, &st, WNOHANG);
        if (w == pid)
            return WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        if (w < 0 && errno != EINTR)
            return -1;
        if (station::interrupted || monotonic_ms() >= until) {
            kill(-pid, SIGKILL);
            while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
            }
            return -1;
        }
        usleep(10000);
    }
}

bool check_passes(const RolloutPlan &p, const char *host) {
    if (p.check.empty())
        return true;
    std::string command = with_host(p.check, host);
    for (int t = 1; t <= p.check_tries && !station::interrupted; t++) {
        if (t > 1)
            pause_for(p.check_interval);
        int st = check_once(command, p.check_timeout);
        if (st == 0)
            return true;
        if (st < 0)
            printf("check: try %d of %d: no answer within %g s\n", t, p.check_tries,
                   p.check_timeout);
        else
            printf("check: try %d of %d: exit status %d\n", t, p.check_tries, st);
        fflush(stdout);
    }
    return false;
}

// The host's code after its check: 0, CHECK_FAILED, or the interrupt's when the station
// was told to end meanwhile (that host is then neither healthy nor unhealthy).
int checked(const RolloutPlan &p, const char *host) {
    bool ok = !station::interrupted && check_passes(p, host);
    if (station::interrupted)
        return interrupted_code(station::interrupted);
    return ok ? 0 : CHECK_FAILED;
}

enum class Job { Deploy, Check, Restore };

struct JobArg {
    const Options *o;
    const RolloutPlan *plan;
    Job job;
};

// One host's part, in a child of the fan-out: its deployment (of the release, or of its
// previous one when restoring) and then its check. Returns the host's code.
int host_job(const char *host, void *arg) {
    auto &a = *static_cast<JobArg *>(arg);
    const RolloutPlan &p = *a.plan;
    if (a.job == Job::Check)
        return checked(p, host);
    std::string release = p.release;
    if (a.job == Job::Restore)
        release = p.previous.at(host);
    Options d = *a.o;
    d.json = false;
    d.no_progress = true;
    d.verbose = true; // the agent's log tells a first deployment
    std::string archive = release_path(a.o->state, p.app, release);
    if (release == "none") {
        d.command = Command::Undeploy;
        d.args = {p.app.c_str()};
    } else {
        d.command = Command::Deploy;
        d.args = {p.app.c_str(), archive.c_str()};
    }
    int code = run_command(d, host, true).exit_code();
    if (code != 0 || release == "none")
        return code;
    return checked(p, host);
}

struct Rollout {
    const Options &o;
    RolloutPlan plan;
    std::vector<std::string> hosts; // every host of the plan, in its order
    std::map<std::string, std::string> state;
    std::vector<std::string> changed; // in the order the rollout changed them
    std::vector<HostLine> lines;      // what the hosts wrote, shown for those that failed
    std::set<std::string> failed;     // hosts that failed at some point of this run
    Journal journal;
    std::size_t failures = 0;
    bool halted = false;
    double start = now(), rollback_seconds = -1;
    int rolled = 0;
};

std::size_t host_index(const Rollout &r, const char *host) {
    return static_cast<std::size_t>(std::find(r.hosts.begin(), r.hosts.end(), host) -
                                    r.hosts.begin());
}

void collect(const char *host, int stream, const char *line, std::size_t n, void *ctx) {
    auto &r = *static_cast<Rollout *>(ctx);
    if (r.o.verbose) {
        FILE *f = stream == 1 && !r.o.json ? stdout : stderr;
        fprintf(f, "%s: %.*s\n", host, static_cast<int>(n), line);
    }
    r.lines.push_back({host_index(r, host), stream, std::string(line, n)});
}

// A host of unknown earlier release whose agent found no live copy to keep had none:
// its rollback withdraws the application.
void learn_first_deployments(Rollout &r, const std::vector<std::string> &deployed) {
    bool learnt = false;
    for (auto &l : r.lines) {
        const std::string &h = r.hosts[l.host];
        if (r.plan.previous[h] == "unknown" &&
            std::find(deployed.begin(), deployed.end(), h) != deployed.end() &&
            l.text.find("Moving appl from live directory to old directory failed") !=
                std::string::npos) {
            r.plan.previous[h] = "none";
            learnt = true;
        }
    }
    if (learnt)
        rollout_save(r.o.state, r.plan);
}

void set_state(Rollout &r, const std::string &host, const char *state, int code) {
    r.state[host] = state;
    if (is_failure(state) || strcmp(state, "rollback_failed") == 0)
        r.failed.insert(host);
    journal_add(r.journal, {host, state, code});
    if (!r.o.json)
        return;
    static JsonLine j;
    json_begin(j);
    json_str(j, "type", "rollout-host");
    json_str(j, "rollout", r.plan.id.c_str());
    json_str(j, "host", host.c_str());
    json_str(j, "state", state);
    json_int(j, "status", code);
    json_num(j, "seconds", now() - r.start);
    json_end(j);
    fflush(stdout);
    json_write(j, 1);
}

// Runs job on the hosts, at most jobs at a time; the codes come back in out.
void run_job(Rollout &r, Job job, const std::vector<std::string> &hosts,
             std::vector<HostOutcome> &out) {
    std::vector<const char *> names;
    for (auto &h : hosts)
        names.push_back(h.c_str());
    out.assign(hosts.size(), HostOutcome{});
    JobArg arg{&r.o, &r.plan, job};
    fanout_set_sink(collect, &r);
    fanout_run(names.data(), names.size(), r.plan.jobs, host_job, &arg, out.data(),
               &station::interrupted);
    fanout_set_sink(nullptr, nullptr);
}

const char *deploy_state(int code) {
    if (code == 0)
        return "updated";
    if (code == CHECK_FAILED)
        return "unhealthy";
    if (code >= 2 && code <= 23)
        return "refused";
    return "unreachable";
}

FILE *people(const Rollout &r) {
    return r.o.json ? stderr : stdout;
}

std::size_t count_done(const Rollout &r) {
    std::size_t n = 0;
    for (auto &[h, s] : r.state)
        n += s != "untouched" && s != "deploying";
    return n;
}

// The hosts of one step, -j at a time, so that no host is started once the budget is
// spent; then, with --bake, the wait and the check of every host updated so far.
void run_step(Rollout &r, std::size_t k) {
    double step_start = now();
    std::vector<std::string> todo;
    for (auto &h : r.plan.steps[k])
        if (r.state[h] == "untouched" || r.state[h] == "deploying")
            todo.push_back(h);
    std::size_t jobs = static_cast<std::size_t>(r.plan.jobs);
    for (std::size_t at = 0; at < todo.size() && !r.halted && !station::interrupted; at += jobs) {
        std::vector<std::string> chunk(todo.begin() + static_cast<long>(at),
                                       todo.begin() +
                                           static_cast<long>(std::min(at + jobs, todo.size())));
        for (auto &h : chunk)
            set_state(r, h, "deploying", 0);
        journal_sync(r.journal);
        std::vector<HostOutcome> out;
        run_job(r, Job::Deploy, chunk, out);
        for (std::size_t i = 0; i < chunk.size(); i++) {
            int code = out[i].code;
            if (code < 0) {
                set_state(r, chunk[i], "untouched", 0);
                continue;
            }
            if (code >= 128)
                continue; // interrupted in the middle: deployed again on --resume
            const char *s = deploy_state(code);
            set_state(r, chunk[i], s, code);
            if (is_changed(s))
                r.changed.push_back(chunk[i]);
            r.failures += is_failure(s);
        }
        learn_first_deployments(r, chunk);
        journal_sync(r.journal);
        r.halted = budget_spent(r.failures, r.plan.budget);
    }
    if (!r.halted && !station::interrupted && r.plan.bake > 0) {
        pause_for(r.plan.bake);
        std::vector<std::string> updated;
        for (auto &h : r.changed)
            if (r.state[h] == "updated")
                updated.push_back(h);
        std::vector<HostOutcome> out;
        if (!station::interrupted && !r.plan.check.empty())
            run_job(r, Job::Check, updated, out);
        for (std::size_t i = 0; i < out.size(); i++)
            if (out[i].code == CHECK_FAILED) {
                set_state(r, updated[i], "unhealthy", CHECK_FAILED);
                r.failures++;
            }
        journal_sync(r.journal);
        r.halted = budget_spent(r.failures, r.plan.budget);
    }
    fprintf(people(r),
            "step %zu of %zu: %zu of %zu hosts done, failures %zu of %zu allowed, %.1f s\n", k + 1,
            r.plan.steps.size(), count_done(r), r.hosts.size(), r.failures, r.plan.budget,
            now() - step_start);
    fflush(people(r));
}

// Puts the previous release back on every host the rollout changed, newest first.
void roll_back(Rollout &r) {
    double t = now();
    std::vector<std::string> todo;
    for (auto it = r.changed.rbegin(); it != r.changed.rend(); ++it) {
        if (!is_changed(r.state[*it]))
            continue;
        auto prev = r.plan.previous.find(*it);
        bool known = prev != r.plan.previous.end() && prev->second != "unknown" &&
                     (prev->second == "none" ||
                      access(release_path(r.o.state, r.plan.app, prev->second).c_str(), R_OK) == 0);
        if (known)
            todo.push_back(*it);
        else
            set_state(r, *it, "cannot_roll_back", 0);
    }
    // No budget to watch: one fan-out, a host started as soon as another ends.
    std::vector<HostOutcome> out;
    run_job(r, Job::Restore, todo, out);
    for (std::size_t i = 0; i < todo.size(); i++) {
        if (out[i].code < 0 || out[i].code >= 128)
            continue;
        set_state(r, todo[i], out[i].code == 0 ? "rolled_back" : "rollback_failed", out[i].code);
        r.rolled += out[i].code == 0;
    }
    journal_sync(r.journal);
    r.rollback_seconds = now() - t;
}

// The table of host states, one row per state with its hosts folded, and what the
// hosts that did not end well wrote.
void print_report(const Rollout &r) {
    std::vector<const char *> names;
    for (auto &h : r.hosts)
        names.push_back(h.c_str());
    std::vector<HostLine> shown;
    for (auto &l : r.lines)
        if (r.failed.count(r.hosts[l.host]))
            shown.push_back(l);
    for (auto &l : fold_lines(shown, names.data(), !r.o.no_fold))
        fprintf(stderr, "%s\n", l.line.c_str());
    fflush(stderr);
    FILE *f = people(r);
    for (auto &st : STATES) {
        std::vector<const char *> in;
        for (auto &h : r.hosts)
            if (r.state.at(h) == st.word)
                in.push_back(h.c_str());
        if (!in.empty())
            fprintf(f, "%-42s %4zu  %s\n", st.label, in.size(), fold_hosts(in).c_str());
    }
    if (r.rollback_seconds >= 0)
        fprintf(f, "rollback: %d of %zu hosts back in %.1f s\n", r.rolled, r.changed.size(),
                r.rollback_seconds);
    fflush(f);
}

int final_status(const Rollout &r) {
    if (station::interrupted)
        return interrupted_code(station::interrupted);
    bool mixed = false, all_done = true;
    for (auto &[h, s] : r.state) {
        mixed = mixed || is_changed(s) || s == "rollback_failed" || s == "cannot_roll_back" ||
                s == "deploying";
        all_done = all_done && (s == "updated" || s == "current");
    }
    if (all_done)
        return 0;
    return r.halted && mixed ? HALTED_MIXED : 1;
}

void json_summary(const Rollout &r, int status) {
    if (!r.o.json)
        return;
    std::map<std::string, long> n;
    for (auto &[h, s] : r.state)
        n[s]++;
    static JsonLine j;
    json_begin(j);
    json_str(j, "type", "rollout");
    json_str(j, "rollout", r.plan.id.c_str());
    json_str(j, "app", r.plan.app.c_str());
    json_str(j, "release", r.plan.release.c_str());
    json_int(j, "hosts", static_cast<std::int64_t>(r.hosts.size()));
    for (auto &st : STATES)
        if (strcmp(st.word, "deploying") != 0)
            json_int(j, st.word, n[st.word]);
    json_int(j, "failures", static_cast<std::int64_t>(r.failures));
    json_int(j, "budget", static_cast<std::int64_t>(r.plan.budget));
    json_bool(j, "halted", r.halted);
    json_int(j, "status", status);
    json_num(j, "seconds", now() - r.start);
    if (r.rollback_seconds >= 0)
        json_num(j, "rollback_seconds", r.rollback_seconds);
    else
        json_null(j, "rollback_seconds");
    json_end(j);
    fflush(stdout);
    json_write(j, 1);
}

// The hosts' states: "untouched" for each host of the plan, then the journal's.
void replay(Rollout &r) {
    for (auto &h : r.plan.current)
        r.hosts.push_back(h);
    for (auto &step : r.plan.steps)
        r.hosts.insert(r.hosts.end(), step.begin(), step.end());
    for (auto &h : r.hosts)
        r.state[h] = "untouched";
    for (auto &h : r.plan.current)
        r.state[h] = "current";
    for (auto &e : journal_read(r.o.state, r.plan.id)) {
        if (!r.state.count(e.host))
            continue;
        if (is_changed(e.state) && !is_changed(r.state[e.host]))
            r.changed.push_back(e.host);
        r.state[e.host] = e.state;
        r.failures += is_failure(e.state);
    }
}

// Carries the plan's steps out from where the journal stands, and rolls back on halt.
int carry_out(Rollout &r) {
    for (std::size_t k = 0; k < r.plan.steps.size() && !r.halted && !station::interrupted; k++)
        run_step(r, k);
    if (r.halted && !r.plan.halt_only && !station::interrupted)
        roll_back(r);
    int status = final_status(r);
    if (!station::interrupted)
        journal_add(r.journal, {"-", r.halted ? "halted" : "finished", status});
    journal_sync(r.journal);
    print_report(r);
    if (r.halted)
        fprintf(stderr, "tarko_station: rollout %s halted: failures %zu, %zu allowed\n",
                r.plan.id.c_str(), r.failures, r.plan.budget);
    json_summary(r, status);
    return status;
}

int usage(const char *why) {
    fprintf(stderr, "tarko_station: %s\nTry 'tarko_station --help' for more information.\n", why);
    return code(Outcome::Usage);
}

// The archive as a release: its checksum and length; 66 when it cannot be sent.
int archive_release(const Options &o, const char *app, const char *archive, std::string &id) {
    Options d = o;
    d.command = Command::Deploy;
    d.args = {app, archive};
    char err[1024];
    if (int r = check_local_files(d, err, sizeof err)) {
        fprintf(stderr, "tarko_station: %s\n", err);
        return r;
    }
    station::FileInfo sum;
    station::UploadInfo info;
    if (!station::file_sum(archive, &sum, &info)) {
        fprintf(stderr, "tarko_station: rollout %s: cannot read %s (%s)\n", app, archive,
                strerror(info.local_errno));
        return code(Outcome::LocalUnreadable);
    }
    id = release_id(sum.checksum, sum.length);
    return 0;
}

void print_plan(const Rollout &r, const Options &o) {
    auto folded = [](const std::vector<std::string> &hs) {
        std::vector<const char *> p;
        for (auto &h : hs)
            p.push_back(h.c_str());
        return p.empty() ? std::string("-") : fold_hosts(p);
    };
    printf("rollout of %s, release %s, to %zu hosts\n", r.plan.app.c_str(), r.plan.release.c_str(),
           r.hosts.size());
    if (!r.plan.current.empty())
        printf("current (skipped): %s\n", folded(r.plan.current).c_str());
    for (std::size_t k = 0; k < r.plan.steps.size(); k++)
        printf("step %zu%s: %zu host(s): %s\n", k + 1,
               k == 0 && o.rollout.canary ? " (canary)" : "", r.plan.steps[k].size(),
               folded(r.plan.steps[k]).c_str());
    printf("failure budget: %zu; at most %d hosts at a time; on failure: %s\n", r.plan.budget,
           r.plan.jobs, r.plan.halt_only ? "halt" : "roll back");
    if (r.plan.check.empty())
        printf("check: none\n");
    else
        printf("check: %s (%d tries, %g s apart, %g s each)\n", r.plan.check.c_str(),
               r.plan.check_tries, r.plan.check_interval, r.plan.check_timeout);
    if (r.plan.bake > 0)
        printf("bake: %g s after each step\n", r.plan.bake);
    std::vector<std::string> unknown;
    for (auto &[h, rel] : r.plan.previous)
        if (rel == "unknown")
            unknown.push_back(h);
    if (!unknown.empty())
        printf("cannot roll back (earlier release unknown): %s\n", folded(unknown).c_str());
}

int new_rollout(Rollout &r) {
    const Options &o = r.o;
    const RolloutOptions &ro = o.rollout;
    if (o.args.size() != 2)
        return usage("rollout wants APP ARCHIVE");
    if (o.hosts.empty())
        return usage("rollout: no host given: name them with -H HOSTS");
    const char *app = o.args[0], *archive = o.args[1];
    RolloutPlan &p = r.plan;
    p.app = app;
    if (int e = archive_release(o, app, archive, p.release))
        return e;
    std::string prev_id;
    if (ro.previous)
        if (int e = archive_release(o, app, ro.previous, prev_id))
            return e;
    std::vector<StepSpec> steps;
    parse_steps(ro.steps, steps);
    auto ledger = ledger_read(o.state, app);
    std::vector<std::string> todo;
    for (const std::string &h : o.hosts) {
        auto on = ledger.find(h);
        if (on != ledger.end() && on->second == p.release && !ro.redeploy) {
            p.current.push_back(h);
            continue;
        }
        todo.push_back(h);
        p.previous[h] = on != ledger.end() ? on->second : prev_id.empty() ? "unknown" : prev_id;
    }
    std::size_t at = 0;
    for (std::size_t n : step_sizes(todo.size(), static_cast<std::size_t>(ro.canary), steps)) {
        p.steps.emplace_back(todo.begin() + static_cast<long>(at),
                             todo.begin() + static_cast<long>(at + n));
        at += n;
    }
    failure_budget(ro.max_failures, todo.size(), p.budget);
    p.check = ro.check ? ro.check : "";
    p.check_tries = ro.check_tries;
    p.check_interval = ro.check_interval;
    p.check_timeout = ro.check_timeout;
    p.bake = ro.bake;
    p.halt_only = ro.halt_only;
    p.jobs = o.jobs;
    replay(r);
    if (ro.mode == RolloutMode::Plan) {
        print_plan(r, o);
        return 0;
    }
    if (int e = release_keep(o.state, app, archive, p.release, ro.keep)) {
        fprintf(stderr, "tarko_station: cannot keep %s in %s (%s)\n", archive, o.state,
                strerror(e));
        return code(Outcome::LocalUnwritable);
    }
    if (ro.previous)
        release_keep(o.state, app, ro.previous, prev_id, ro.keep);
    if (int e = rollout_create(o.state, p)) {
        fprintf(stderr, "tarko_station: cannot record the rollout in %s (%s)\n", o.state,
                strerror(e));
        return code(Outcome::LocalUnwritable);
    }
    fprintf(people(r), "rollout %s: %s release %s to %zu hosts in %zu steps\n", p.id.c_str(), app,
            p.release.c_str(), todo.size(), p.steps.size());
    journal_open(o.state, p.id, r.journal);
    return carry_out(r);
}

} // namespace

int run_rollout(Options &o) {
    prepare_state(o);
    if (!o.state[0]) {
        fprintf(stderr, "tarko_station: a rollout keeps its releases and journal in the state "
                        "directory, which cannot be used\n");
        return code(Outcome::LocalUnwritable);
    }
    static Rollout r{o, {}, {}, {}, {}, {}, {}, {}, 0, false, now(), -1, 0};
    const RolloutMode mode = o.rollout.mode;
    if (mode == RolloutMode::Run || mode == RolloutMode::Plan)
        return new_rollout(r);
    std::string id = o.rollout.id ? o.rollout.id : !o.args.empty() ? o.args[0] : "";
    if (int e = rollout_load(o.state, id, r.plan)) {
        fprintf(stderr, "tarko_station: no rollout %s in %s (%s)\n",
                id.empty() ? "at all" : id.c_str(), o.state, strerror(e));
        return code(Outcome::Usage);
    }
    replay(r);
    if (mode == RolloutMode::Status) {
        auto log = journal_read(o.state, r.plan.id);
        const char *how = log.empty() || log.back().host != "-" ? "interrupted or running"
                                                                : log.back().state.c_str();
        printf("rollout %s: %s release %s, %zu hosts, failures %zu of %zu allowed: %s\n",
               r.plan.id.c_str(), r.plan.app.c_str(), r.plan.release.c_str(), r.hosts.size(),
               r.failures, r.plan.budget, how);
        print_report(r);
        return 0;
    }
    if (access(release_path(o.state, r.plan.app, r.plan.release).c_str(), R_OK) != 0 &&
        mode == RolloutMode::Resume) {
        fprintf(stderr, "tarko_station: rollout %s: its release %s is no longer kept\n",
                r.plan.id.c_str(), r.plan.release.c_str());
        return code(Outcome::LocalUnreadable);
    }
    journal_open(o.state, r.plan.id, r.journal);
    if (mode == RolloutMode::Resume) {
        fprintf(people(r), "rollout %s resumed: %zu of %zu hosts done\n", r.plan.id.c_str(),
                count_done(r), r.hosts.size());
        return carry_out(r);
    }
    r.halted = true;
    roll_back(r);
    journal_add(r.journal, {"-", "rolled_back", 0});
    journal_sync(r.journal);
    print_report(r);
    bool back = true;
    for (auto &[h, s] : r.state)
        back = back && !is_changed(s) && s != "rollback_failed" && s != "cannot_roll_back";
    int status = station::interrupted ? interrupted_code(station::interrupted)
                 : back               ? 0
                                      : HALTED_MIXED;
    json_summary(r, status);
    return status;
}
