// Units of tarko_station: the command line, the agent command template, the progress
// bar's layout and the meanings of exit statuses.
#include "agentcmd.h"
#include "args.h"
#include "options.h"
#include "outcome.h"
#include "progress.h"
#include "reply.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <concepts>
#include <csignal>
#include <iterator>
#include <set>
#include <string>
#include <vector>

namespace {

struct Parsed {
    int rc;
    Options o;
    std::string err;
};

Parsed parse(std::vector<std::string> args, const char *env_agent = nullptr) {
    std::vector<char *> argv = testargs::argv_of("tarko_station", args);
    Parsed p{};
    char err[512];
    p.rc = parse_options(static_cast<int>(argv.size() - 1), argv.data(), env_agent, p.o, err,
                         sizeof err);
    p.err = err;
    return p;
}

TEST(StationOptions, CommandsTakeTheirArguments) {
    auto p = parse({"-H", "a,b", "-j", "3", "put", "f", "/d"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.o.command, Command::Put);
    ASSERT_EQ(p.o.hosts.size(), 2u);
    EXPECT_STREQ(p.o.hosts[0].c_str(), "a");
    EXPECT_STREQ(p.o.hosts[1].c_str(), "b");
    EXPECT_EQ(p.o.jobs, 3);
    ASSERT_EQ(p.o.args.size(), 2u);
    EXPECT_STREQ(p.o.args[1], "/d");
    EXPECT_STREQ(p.o.agent.c_str(), DEFAULT_AGENT);

    EXPECT_EQ(parse({"sync", "a", "b", "c", "/d"}).o.args.size(), 4u);
    EXPECT_EQ(parse({"undeploy", "app"}).rc, 0);
    EXPECT_EQ(parse({"push", "b", "/d", "n"}).o.command, Command::Push);
}

TEST(StationOptions, OptionsMayFollowTheCommandUntilDoubleDash) {
    auto p = parse({"sum", "/d", "n", "-Hx", "--jobs=2", "-t", "3", "-q"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_EQ(p.o.hosts.size(), 1u);
    EXPECT_EQ(p.o.jobs, 2);
    EXPECT_EQ(p.o.answer_seconds, 3);
    EXPECT_TRUE(p.o.quiet);
    // After "--" a leading dash is a file name.
    p = parse({"put", "--", "-odd", "/d"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_STREQ(p.o.args[0], "-odd");
}

TEST(StationOptions, AgentFromOptionOverEnvironmentOverDefault) {
    EXPECT_STREQ(parse({"rm", "/d", "n"}, "envagent {host}").o.agent.c_str(), "envagent {host}");
    EXPECT_STREQ(parse({"--agent", "mine", "rm", "/d", "n"}, "envagent").o.agent.c_str(), "mine");
    EXPECT_STREQ(parse({"--agent=x y", "rm", "/d", "n"}).o.agent.c_str(), "x y");
    EXPECT_STREQ(parse({"rm", "/d", "n"}, "").o.agent.c_str(), DEFAULT_AGENT);
    EXPECT_EQ(parse({"--agent", "  ", "rm", "/d", "n"}).rc, 64);
}

TEST(StationOptions, TreeSyncAndRateOptions) {
    // --exclude names hosts, before -r as anywhere; files are left out with --skip.
    auto p = parse({"-H", "a,b,c", "--exclude", "c", "sync", "-r", "--skip=old/*", "-x", "b", "-n",
                    "--skip", "*.tmp", "--streams", "4", "--bwlimit=50Mbit", "tree", "/d"});
    ASSERT_EQ(p.rc, 0) << p.err;
    EXPECT_TRUE(p.o.recursive && p.o.dry_run);
    EXPECT_EQ(p.o.excludes.size(), 2u);
    EXPECT_EQ(p.o.hosts.size(), 1u);
    EXPECT_EQ(parse({"-H", "a,b", "--exclude", "b", "sync", "f", "/d"}).o.hosts.size(), 1u);
    // After -r it would read as files to the hands of rsync's users: refused, naming --skip.
    auto after = parse({"-H", "a", "sync", "-r", "--exclude", "*.tmp", "tree", "/d"});
    EXPECT_EQ(after.rc, 64);
    EXPECT_NE(after.err.find("--skip PATTERN"), std::string::npos) << after.err;
    EXPECT_EQ(p.o.streams, 4);
    EXPECT_DOUBLE_EQ(p.o.bwlimit, 6.25e6);
    EXPECT_EQ(parse({"put", "--tree", "f", "/d"}).o.tree, 1);
    EXPECT_EQ(parse({"put", "--tree", "3", "f", "/d"}).o.tree, 3);
    EXPECT_EQ(parse({"sync", "--tree=2", "f", "/d"}).o.tree, 2);
    EXPECT_EQ(parse({"sync", "--streams", "64", "f", "/d"}).o.streams, 64);
    for (std::vector<std::string> bad :
         {std::vector<std::string>{"sync", "-r", "a", "b", "/d"},
          {"put", "-r", "f", "/d"},
          {"sync", "--skip", "x", "f", "/d"},
          {"sync", "--streams", "65", "f", "/d"},
          {"-j", std::to_string(jobs_limit()), "sync", "--streams=2", "f", "/d"},
          {"get", "--tree", "/d", "n"},
          {"sync", "--tree", "-r", "t", "/d"},
          {"put", "--bwlimit", "0", "f", "/d"}})
        EXPECT_EQ(parse(bad).rc, 64) << bad[0] << " " << bad[1];
}

TEST(StationOptions, BadCommandLinesAreUsageErrors) {
    EXPECT_EQ(parse({}).rc, 64);
    EXPECT_EQ(parse({"fly"}).rc, 64);
    EXPECT_EQ(parse({"put", "f"}).rc, 64);
    EXPECT_EQ(parse({"put", "f", "/d", "n", "extra"}).rc, 64);
    EXPECT_EQ(parse({"sync", "/d"}).rc, 64);
    EXPECT_EQ(parse({"-j", "0", "rm", "/d", "n"}).rc, 64);
    EXPECT_EQ(parse({"-j", "65", "rm", "/d", "n"}).rc, 0);
    EXPECT_EQ(parse({"-j", "2x", "rm", "/d", "n"}).rc, 64);
    EXPECT_EQ(parse({"-t", "0", "rm", "/d", "n"}).rc, 64);
    EXPECT_EQ(parse({"-H", "a,,b", "rm", "/d", "n"}).rc, 64);
    EXPECT_EQ(parse({"-H", "a,", "rm", "/d", "n"}).rc, 64);
    EXPECT_EQ(parse({"--bogus", "rm", "/d", "n"}).rc, 64);
    auto p = parse({"rm", "/d", "n", "-H"});
    EXPECT_EQ(p.rc, 64);
    EXPECT_NE(p.err.find("-H wants a value"), std::string::npos) << p.err;
    EXPECT_EQ(parse({"--help"}).rc, 0);
    EXPECT_TRUE(parse({"put", "--help"}).o.help);
}

TEST(StationOptions, TextsLongerThanTheAgentTakesAreRefusedBeforeSending) {
    std::string dir95 = "/" + std::string(94, 'd'), dir96 = dir95 + "d";
    std::string name31(31, 'n'), name32(32, 'n');
    std::string host63(63, 'h'), host64(64, 'h');
    EXPECT_EQ(parse({"rm", dir95, name31}).rc, 0);
    EXPECT_EQ(parse({"rm", dir96, "n"}).rc, 64);
    EXPECT_EQ(parse({"rm", "/d", name32}).rc, 64);
    EXPECT_EQ(parse({"rm", "/d", ""}).rc, 64);
    // put's default name is the last part of LOCAL.
    EXPECT_EQ(parse({"put", "/x/" + name31, "/d"}).rc, 0);
    EXPECT_EQ(parse({"put", "/x/" + name32, "/d"}).rc, 64);
    EXPECT_EQ(parse({"put", "/x/" + name32, "/d", "short"}).rc, 0);
    EXPECT_EQ(parse({"put", "/x/", "/d"}).rc, 64); // no name to give it
    EXPECT_EQ(parse({"push", host63, "/d", "n"}).rc, 0);
    EXPECT_EQ(parse({"push", host64, "/d", "n"}).rc, 64);
    EXPECT_EQ(parse({"-H", host63, "rm", "/d", "n"}).rc, 0);
    EXPECT_EQ(parse({"-H", host64, "rm", "/d", "n"}).rc, 64);
    EXPECT_EQ(parse({"undeploy", std::string(96, 'a')}).rc, 64);
    EXPECT_EQ(parse({"sync", "ok", "/x/" + name32, "/d"}).rc, 64);
}

std::vector<std::string> words(const char *tmpl, const char *host) {
    AgentArgv av;
    if (agent_argv(tmpl, host, av) != 0)
        return {"<refused>"};
    return av.words;
}

TEST(StationAgentCommand, WordsSplitOnBlanksWithTheHostFilledIn) {
    using V = std::vector<std::string>;
    EXPECT_EQ(words(DEFAULT_AGENT, "ivr1"),
              (V{"/usr/bin/rsh", "ivr1", "/usr/local/bin/tarko_remote2"}));
    EXPECT_EQ(words("  simsite exec s {host} --\t/a  ", "b"),
              (V{"simsite", "exec", "s", "b", "--", "/a"}));
    EXPECT_EQ(words("x --host={host}.{host}:{hos}", "h"), (V{"x", "--host=h.h:{hos}"}));
    // A host's key: sixteen hex digits, the same for the same name only.
    V keyed = words("s=/d/{hostkey},{host}", "ivr1");
    ASSERT_EQ(keyed[0].size(), std::string("s=/d/,ivr1").size() + 16);
    EXPECT_EQ(keyed[0].find_first_not_of("0123456789abcdef", 5), 21u);
    EXPECT_EQ(words("{hostkey}", "ivr1")[0], keyed[0].substr(5, 16));
    EXPECT_NE(words("{hostkey}", "ivr2")[0], keyed[0].substr(5, 16));
    EXPECT_EQ(words("/bin/agent", "h"), (V{"/bin/agent"}));
    EXPECT_EQ(words("   ", "h"), (V{"<refused>"}));
    // No limit on words or their length.
    std::string many;
    for (int i = 0; i < 300; i++)
        many += "w ";
    EXPECT_EQ(words(many.c_str(), "h").size(), 300u);
    std::string big = std::string(5000, 'x') + "{host}";
    EXPECT_EQ(words(big.c_str(), "hh")[0].size(), 5002u);
    EXPECT_TRUE(agent_needs_host(DEFAULT_AGENT));
    EXPECT_FALSE(agent_needs_host("/bin/agent"));
}

TEST(StationProgress, BarFitsTheLineAndShowsTheShare) {
    char buf[256];
    std::size_t n = progress_format(buf, sizeof buf, "big.jar", 512 * 1024, 1024 * 1024, 2.0, 60);
    std::string line(buf, n);
    EXPECT_EQ(line.size(), 60u) << line;
    EXPECT_EQ(line.rfind("big.jar [", 0), 0u) << line;
    EXPECT_NE(line.find(" 50% 512.0 kB 256.0 kB/s"), std::string::npos) << line;
    // A long label is cut, the bar keeps some room.
    n = progress_format(buf, sizeof buf, std::string(100, 'L').c_str(), 0, 10, 1.0, 60);
    EXPECT_LE(n, 60u);
    EXPECT_NE(std::string(buf, n).find("[-"), std::string::npos);
    // Done beyond the total, an empty transfer, a tiny buffer.
    n = progress_format(buf, sizeof buf, "f", 20, 10, 1.0, 40);
    EXPECT_NE(std::string(buf, n).find("100%"), std::string::npos);
    n = progress_format(buf, sizeof buf, "f", 0, 0, 1.0, 40);
    EXPECT_NE(std::string(buf, n).find("100%"), std::string::npos);
    char tiny[8];
    n = progress_format(tiny, sizeof tiny, "label", 1, 2, 1.0, 60);
    EXPECT_EQ(n, 7u);
    EXPECT_EQ(tiny[7], '\0');
}

TEST(StationProgress, NothingIsDrawnWhenNotEnabledOrWithinTheFirstSecond) {
    ProgressBar bar;
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    bar.fd = fds[1];
    progress_start(bar, "f", 100, true);
    progress_update(bar, 50); // under a second: nothing
    progress_end(bar, 100);
    EXPECT_FALSE(bar.drawn);
    progress_start(bar, "f", 100, false);
    bar.start.tv_sec -= 5;
    progress_update(bar, 50);
    EXPECT_FALSE(bar.drawn);
    progress_start(bar, "f", 100, true);
    bar.start.tv_sec -= 5;
    progress_update(bar, 50);
    EXPECT_TRUE(bar.drawn);
    progress_end(bar, 100);
    close(fds[1]);
    char buf[1024];
    ssize_t n = read(fds[0], buf, sizeof buf);
    close(fds[0]);
    ASSERT_GT(n, 0);
    std::string out(buf, static_cast<std::size_t>(n));
    EXPECT_EQ(out[0], '\r');
    EXPECT_NE(out.find("100%"), std::string::npos);
    EXPECT_EQ(out.back(), '\n');
}

TEST(StationOutcome, EveryCodeHasAMeaning) {
    // Every status the agent may send has its own meaning, and the summary table shows it.
    constexpr Status statuses[] = {Status::Ok,           Status::Ready,        Status::Failed,
                                   Status::IsDirectory,  Status::NotDirectory, Status::SeqMismatch,
                                   Status::BadChecksum,  Status::MkdirFailed,  Status::CannotCreate,
                                   Status::ShortRead,    Status::ShortWrite,   Status::CannotOpen,
                                   Status::NoHello,      Status::PipeFailed,   Status::ForkFailed,
                                   Status::BadOperation, Status::NoResponse,   Status::NoAudiumHome,
                                   Status::NoJavaHome,   Status::LinkFailed,   Status::NoAdminDir};
    std::set<std::string> seen;
    for (Status st : statuses) {
        EXPECT_TRUE(status_known(code(st))) << code(st);
        EXPECT_TRUE(seen.insert(status_meaning(st)).second) << code(st);
        if (st != Status::Ready) { // 1 is the fan-out's own code in the table
            EXPECT_STREQ(outcome_meaning(code(st)), status_meaning(st));
        }
    }
    // Every outcome of the station has a meaning of its own, apart from the agent's.
    constexpr Outcome outcomes[] = {
        Outcome::SomeHostFailed,  Outcome::Usage,           Outcome::LocalChanged,
        Outcome::LocalUnreadable, Outcome::HostUnavailable, Outcome::NoChild,
        Outcome::LocalUnwritable, Outcome::ConnectionLost,  Outcome::Protocol};
    for (Outcome o : outcomes) {
        EXPECT_STRNE(outcome_meaning(code(o)), "unknown status") << code(o);
        EXPECT_TRUE(seen.insert(outcome_meaning(code(o))).second) << code(o);
    }
    EXPECT_STREQ(outcome_meaning(code(Outcome::Ok)), "success");
    for (int sig : {SIGHUP, SIGINT, SIGTERM})
        EXPECT_TRUE(seen.insert(outcome_meaning(interrupted_code(sig))).second) << sig;
    EXPECT_STREQ(outcome_meaning(128 + SIGKILL), "killed by a signal");
    // Every other exit status is unknown, so the tables hold no code the enums lack:
    // SomeHostFailed shares 1 with Ready, and 129 to 192 are the signals.
    std::size_t known = 0;
    for (int c = 0; c < 256; c++)
        known += std::string(outcome_meaning(c)) != "unknown status";
    EXPECT_EQ(known, std::size(statuses) + std::size(outcomes) - 1 + 64);
}

} // namespace

namespace {

TEST(StationAgentCommand, BareProgramNamesAreFoundInPath) {
    AgentArgv av;
    ASSERT_EQ(agent_argv("sh -c x", "h", av), 0);
    EXPECT_EQ(agent_resolve(av, "/nonexistent:/bin:/usr/bin"), 0);
    EXPECT_STREQ(av.words[0].c_str(), "/bin/sh");
    EXPECT_STREQ(av.words[1].c_str(), "-c");
    ASSERT_EQ(agent_argv("no-such-program-here", "h", av), 0);
    EXPECT_EQ(agent_resolve(av, "/bin:/usr/bin"), ENOENT);
    // A name with a slash is used as it stands.
    ASSERT_EQ(agent_argv("./agent", "h", av), 0);
    EXPECT_EQ(agent_resolve(av, "/bin"), 0);
    EXPECT_STREQ(av.words[0].c_str(), "./agent");
    // Directories on the way are not programs.
    ASSERT_EQ(agent_argv("bin", "h", av), 0);
    EXPECT_EQ(agent_resolve(av, "/"), ENOENT);
}

} // namespace

namespace {

// The three kinds of result never meet: an agent status, a client error and a station
// outcome compare only with their own kind, whatever their numbers.
TEST(StationResults, KindsAreKeptApart) {
    static_assert(!std::equality_comparable_with<Status, Outcome>);
    static_assert(!std::equality_comparable_with<station::Reply, Outcome>);
    static_assert(!std::equality_comparable_with<station::Reply, int>);
    static_assert(!std::equality_comparable_with<CommandResult, int>);
    EXPECT_EQ(CommandResult(Status::Ok), CommandResult(Outcome::Ok));
    // Both are 1, but one came from the agent.
    EXPECT_NE(CommandResult(Status::Ready), CommandResult(Outcome::SomeHostFailed));
    EXPECT_EQ(CommandResult::interrupted(SIGINT).exit_code(), 130);
    EXPECT_NE(station::Reply(Status::Ok), station::Reply(station::ClientError::None));
    EXPECT_TRUE(station::Reply(Status::Ok).ok());
    EXPECT_FALSE(station::Reply(station::ClientError::Timeout).answered());
}

} // namespace
