// The admin script runner and the load sequence, run in this process against scripts in
// a temporary Audium home. Log lines go to standard error, which each run sends to a
// file so that the tests can read them.
#include "alarm.h"
#include "audium.h"
#include "files.h"
#include "loop.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using testfiles::capture_stderr;
using testfiles::log_messages;
using testfiles::read_file;
using testfiles::write_file;

// The messages of the log lines, without their time stamps.
int count(const std::vector<std::string> &lines, const std::string &msg) {
    int n = 0;
    for (const auto &l : lines)
        n += l == msg;
    return n;
}

class ScriptRunner : public ::testing::Test {
  protected:
    fs::path home, admin;
    std::string appl = "ivr1";
    std::vector<std::string> log;

    void SetUp() override {
        char tmpl[] = "/tmp/audium_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        home = tmpl;
        admin = home / "applications" / appl / "admin";
        fs::create_directories(admin);
        setenv("AUDIUM_HOME", home.c_str(), 1);
        // As in the agent: standard descriptors in place, and a write to a pipe whose
        // reader has gone fails with EPIPE.
        fill_standard_descriptors();
        catch_sigpipe();
    }

    void TearDown() override {
        // The runner leaves the request limit armed; it must not end the test program.
        alarm(0);
        signal(SIGALRM, SIG_DFL);
        unsetenv("AUDIUM_HOME");
        fs::remove_all(home);
    }

    void script(const std::string &name, const std::string &body) {
        write_file(admin / name, "#!/bin/sh\n" + body);
    }

    // Runs a script with its standard error (and the log) going to a file.
    ScriptResult run(const char *name, unsigned limit = 15) {
        ScriptResult r{};
        log = log_messages(capture_stderr(
            [&] { r = run_audium_script(appl.c_str(), home.c_str(), name, limit); }));
        return r;
    }

    std::string shell_line(const char *name) const {
        return "Audium Shell: " + (admin / name).string();
    }
};

TEST(EndMatches, TrailingNewlinesReturnsAndSpacesAreLeftAside) {
    EXPECT_EQ(end_matches("Application abc is running.", "is running."), 1);
    EXPECT_EQ(end_matches("Application abc is running. \r\n \n", "is running."), 1);
    EXPECT_EQ(end_matches("is running.", "is running."), 1);
    EXPECT_EQ(end_matches("Application abc is running. x", "is running."), 0);
    EXPECT_EQ(end_matches("running", "running."), 0);
    EXPECT_EQ(end_matches("ed.", "updated."), 0);
    EXPECT_EQ(end_matches("", "updated."), 0);
    EXPECT_EQ(end_matches("", ""), 1);
}

TEST(EndMatches, FirstCharacterIsNeverDropped) {
    EXPECT_EQ(end_matches(" ", " "), 1);
    EXPECT_EQ(end_matches("\n\n\n", "\n"), 1);
    EXPECT_EQ(end_matches("     ", "running."), 0);
}

TEST_F(ScriptRunner, RunningLineIsLoggedOnceAndGivesRunning) {
    script("status.sh", "echo 'Application abc is running.'\n");
    EXPECT_EQ(run("status.sh"), ScriptResult::Running);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0], shell_line("status.sh"));
    // The newline after the period makes an empty line, which is not logged.
    EXPECT_EQ(log[1], "From Audium: Application abc is running.");
}

TEST_F(ScriptRunner, ScriptRunsFromItsAdminDirectory) {
    script("status.sh", "pwd > where\necho 'x resumed.'\n");
    EXPECT_EQ(run("status.sh"), ScriptResult::Running);
    std::string where = read_file(admin / "where");
    EXPECT_EQ(fs::path(where.substr(0, where.size() - 1)), admin);
}

TEST_F(ScriptRunner, QuestionIsAnsweredAndNotLogged) {
    script("resumeApp.sh", "printf 'Really resume (y/n)?'\n"
                           "dd bs=1 count=3 of=answer 2>/dev/null\n"
                           "echo 'Application ivr1 resumed.'\n");
    EXPECT_EQ(run("resumeApp.sh"), ScriptResult::Running);
    EXPECT_EQ(read_file(admin / "answer"), "y\r\n");
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], "From Audium: Application ivr1 resumed.");
}

TEST_F(ScriptRunner, EveryQuestionGetsItsAnswer) {
    script("status.sh", "printf 'one? two? three?\\n'\n"
                        "dd bs=1 count=9 of=answer 2>/dev/null\n"
                        "echo done\n");
    EXPECT_EQ(run("status.sh"), ScriptResult::Unknown);
    EXPECT_EQ(read_file(admin / "answer"), "y\r\ny\r\ny\r\n");
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], "From Audium: done");
}

TEST_F(ScriptRunner, OutputIsSplitAtPeriods) {
    script("status.sh", "echo 'Version 4.1 loaded'\n");
    EXPECT_EQ(run("status.sh"), ScriptResult::Unknown);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1], "From Audium: Version 4.");
    EXPECT_EQ(log[2], "From Audium: 1 loaded");
}

TEST_F(ScriptRunner, CarriageReturnsAreDropped) {
    script("updateApp.sh", "printf 'Application ivr1 updated.\\r\\n'\n");
    EXPECT_EQ(run("updateApp.sh"), ScriptResult::Updated);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], "From Audium: Application ivr1 updated.");
}

TEST_F(ScriptRunner, FirstRecognisedLineDecides) {
    script("status.sh", "echo 'Application ivr1 suspended.'\n"
                        "echo 'Application ivr1 resumed.'\n");
    EXPECT_EQ(run("status.sh"), ScriptResult::Suspended);
    // Later lines are still logged.
    EXPECT_EQ(count(log, "From Audium: Application ivr1 resumed."), 1);
}

TEST_F(ScriptRunner, EveryPhraseGivesItsClass) {
    const std::pair<const char *, ScriptResult> cases[] = {
        {"App is running.", ScriptResult::Running},
        {"abc is not a valid application name.", ScriptResult::NoSuchApp},
        {"Server running.", ScriptResult::Running},
        {"App resumed.", ScriptResult::Running},
        {"App updated.", ScriptResult::Updated},
        {"App suspended.", ScriptResult::Suspended},
        {"App is in suspended state.", ScriptResult::Suspended},
        {"App released from memory.", ScriptResult::Released},
        {"App loaded.", ScriptResult::Unknown},
    };
    for (const auto &[text, expect] : cases) {
        script("status.sh", std::string("echo '") + text + "'\n");
        EXPECT_EQ(run("status.sh"), expect) << text;
    }
}

TEST_F(ScriptRunner, NoOutputGivesUnknown) {
    script("status.sh", "exit 3\n");
    EXPECT_EQ(run("status.sh"), ScriptResult::Unknown);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], shell_line("status.sh"));
}

TEST_F(ScriptRunner, MissingScriptGivesUnknown) {
    EXPECT_EQ(run("releaseApp.sh"), ScriptResult::Unknown);
    EXPECT_EQ(log[0], shell_line("releaseApp.sh"));
}

TEST_F(ScriptRunner, UnterminatedTailIsNotALine) {
    script("status.sh", "printf 'Application ivr1 is running'\n");
    EXPECT_EQ(run("status.sh"), ScriptResult::Unknown);
    EXPECT_EQ(log.size(), 1u);
}

TEST_F(ScriptRunner, SpacesOnlyLineIsLoggedAndMatchesNothing) {
    script("status.sh", "echo '     '\n");
    EXPECT_EQ(run("status.sh"), ScriptResult::Unknown);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], "From Audium:      ");
}

TEST_F(ScriptRunner, OverlongLineIsCutAt199Characters) {
    std::string head(188, 'a');
    // 188 + " is running." = 200 characters: the final period is lost, so no match.
    script("status.sh", "echo '" + head + " is running.'\n");
    EXPECT_EQ(run("status.sh"), ScriptResult::Unknown);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], "From Audium: " + head + " is running");

    // 187 + 12 = 199 characters fit whole.
    std::string fits(187, 'b');
    script("status.sh", "echo '" + fits + " is running.'\n");
    EXPECT_EQ(run("status.sh"), ScriptResult::Running);
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[1], "From Audium: " + fits + " is running.");
}

TEST_F(ScriptRunner, OverlongLineDropsItsTailUntilItEnds) {
    std::string longer(300, 'c');
    script("status.sh", "echo '" + longer + "'\necho 'App updated.'\n");
    EXPECT_EQ(run("status.sh"), ScriptResult::Updated);
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[1], "From Audium: " + std::string(199, 'c'));
    EXPECT_EQ(log[2], "From Audium: App updated.");
}

TEST_F(ScriptRunner, RecognisedOutputOfAScriptStillRunningAtItsLimitTimesOut) {
    script("status.sh", "echo 'Application ivr1 is running.'\nsleep 3\n");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run("status.sh", 1), ScriptResult::Suspended);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
    EXPECT_EQ(count(log, "From Audium: Application ivr1 is running."), 1);
    EXPECT_EQ(log.back(), "Timeout: No response from Audium");
}

TEST_F(ScriptRunner, RequestLimitIsArmedAgainAfterARun) {
    script("status.sh", "echo 'x is running.'\n");
    run("status.sh");
    struct sigaction sa {};
    sigaction(SIGALRM, nullptr, &sa);
    EXPECT_EQ(sa.sa_handler, &SignalAlarmTimeout);
    unsigned left = alarm(0);
    EXPECT_GE(left, REQUEST_LIMIT - 2);
    EXPECT_LE(left, REQUEST_LIMIT);
}

TEST_F(ScriptRunner, ScriptThatClosedItsInputDoesNotEndTheAgent) {
    script("status.sh", "exec 0<&-\nsleep 0.2\nprintf 'Sure?\\n'\necho 'x resumed.'\n");
    EXPECT_EQ(run("status.sh"), ScriptResult::Running);
}

TEST_F(ScriptRunner, ScriptThatNeverReadsItsAnswersDoesNotBlockTheAgent) {
    // Far more answers than a pipe holds.
    script("status.sh", "q=$(printf '%048d' 0 | tr 0 '\\077')\ni=0\nwhile [ $i -lt 1000 ]; do\n"
                        "printf '%s' \"$q\"\n"
                        "i=$((i+1)); done\necho\necho 'x updated.'\n");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run("status.sh"), ScriptResult::Updated);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
}

TEST_F(ScriptRunner, PathTooLongIsRefused) {
    std::string name(300, 'n');
    EXPECT_EQ(run_audium_script(name.c_str(), home.c_str(), "status.sh", 15),
              ScriptResult::Suspended);
}

TEST_F(ScriptRunner, SlowScriptThatNeverEndsIsLeftAfterTheGrace) {
    script("status.sh", "echo 'x is running.'\nexec sleep 40\n");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run("status.sh", 1), ScriptResult::Suspended);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::seconds(15));
    EXPECT_LT(took, std::chrono::seconds(25));
    EXPECT_EQ(count(log, "Timeout: No response from Audium"), 1);
}

TEST_F(ScriptRunner, SlowScriptThatClosesItsOutputButGoesOnTimesOutAfterTheGrace) {
    script("status.sh", "echo 'x updated.'\nexec >&-\nsleep 20\n");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(run("status.sh", 1), ScriptResult::Suspended);
    auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::seconds(15));
    EXPECT_LT(took, std::chrono::seconds(19));
    EXPECT_EQ(log.back(), "Timeout: No response from Audium");
}

// The load sequence against the stand-in scripts of the site.
class LoadSequence : public ScriptRunner {
  protected:
    void SetUp() override {
        ScriptRunner::SetUp();
        for (const auto &e : fs::directory_iterator(fs::path(SOURCE_DIR) / "site" / "audium"))
            fs::copy_file(e.path(), admin / e.path().filename());
        fs::create_directories(home / "standin");
    }
    void state(const std::string &s) { write_file(home / "standin" / (appl + ".state"), s + "\n"); }
    void mode(const std::string &m) { write_file(home / "standin" / (appl + ".mode"), m); }
    std::string calls() { return read_file(home / "standin" / "calls"); }
    int load() {
        int r = 0;
        log = log_messages(
            capture_stderr([&] { r = audium_server_load(appl.c_str(), home.c_str()); }));
        return r;
    }
};

TEST_F(LoadSequence, RunningApplicationIsUpdated) {
    state("running");
    EXPECT_EQ(load(), 0);
    EXPECT_EQ(calls(), "status ivr1\nupdateApp ivr1\n");
    EXPECT_EQ(count(log, "From Audium: Application ivr1 updated."), 1);
}

TEST_F(LoadSequence, RunningApplicationThatRefusesTheUpdateIsNotLoaded) {
    state("running");
    mode("updateApp refuse\n");
    EXPECT_EQ(load(), 2);
    EXPECT_EQ(calls(), "status ivr1\nupdateApp ivr1\n");
    EXPECT_EQ(count(log, "Returned status unknown"), 0);
}

TEST_F(LoadSequence, NewApplicationIsDeployed) {
    EXPECT_EQ(load(), 0);
    EXPECT_EQ(calls(), "status ivr1\ndeployApp ivr1\n");
    EXPECT_EQ(read_file(home / "standin" / "ivr1.state"), "running\n");
}

TEST_F(LoadSequence, NewApplicationComingUpSuspendedIsResumed) {
    mode("deployApp suspend\n");
    EXPECT_EQ(load(), 0);
    EXPECT_EQ(calls(), "status ivr1\ndeployApp ivr1\nresumeApp ivr1\n");
}

TEST_F(LoadSequence, NewApplicationThatStaysSuspendedIsNotLoaded) {
    mode("deployApp suspend\nresumeApp suspend\n");
    EXPECT_EQ(load(), 2);
    EXPECT_EQ(calls(), "status ivr1\ndeployApp ivr1\nresumeApp ivr1\n");
}

TEST_F(LoadSequence, RefusedDeploymentIsNotResumed) {
    mode("deployApp refuse\n");
    EXPECT_EQ(load(), 2);
    EXPECT_EQ(calls(), "status ivr1\ndeployApp ivr1\n");
}

TEST_F(LoadSequence, SuspendedApplicationIsUpdatedButNotLoaded) {
    state("suspended");
    EXPECT_EQ(load(), 2);
    EXPECT_EQ(calls(), "status ivr1\nupdateApp ivr1\n");
    EXPECT_EQ(count(log, "Returned status unknown"), 0);

    mode("updateApp refuse\n");
    EXPECT_EQ(load(), 2);
    EXPECT_EQ(count(log, "Returned status unknown"), 1);
}

TEST_F(LoadSequence, SilentStatusIsUnknown) {
    state("running");
    mode("status silent\n");
    EXPECT_EQ(load(), 2);
    EXPECT_EQ(calls(), "status ivr1\n");
    EXPECT_EQ(count(log, "Returned status unknown"), 1);
}

TEST_F(LoadSequence, OtherStatusClassesAreBad) {
    mode("status say Application ivr1 released from memory.\n");
    EXPECT_EQ(load(), 2);
    EXPECT_EQ(count(log, "Bad status returned"), 1);
    mode("status say Application ivr1 updated.\n");
    EXPECT_EQ(load(), 2);
    EXPECT_EQ(count(log, "Bad status returned"), 1);
    EXPECT_EQ(calls(), "status ivr1\nstatus ivr1\n");
}

TEST_F(LoadSequence, QuestionsOfEveryScriptAreAnswered) {
    write_file(home / "standin" / "mode", "* ask\n");
    mode("deployApp suspend\n");
    EXPECT_EQ(load(), 0);
    EXPECT_EQ(calls(), "status ivr1\nstatus ivr1 answer=y\ndeployApp ivr1\n"
                       "resumeApp ivr1\nresumeApp ivr1 answer=y\n");
}

TEST_F(LoadSequence, ServerThatClosedItsInputOrFloodsQuestionsIsStillServed) {
    state("running");
    mode("status deaf\nupdateApp flood\n");
    EXPECT_EQ(load(), 0);
}

} // namespace
