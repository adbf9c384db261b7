// Units of the station's fleet work: folded lines and table, JSON lines, the state
// directory with its audit log, and the layout check of a deployment's archive.
#include "files.h"
#include "fold.h"
#include "jarcheck.h"
#include "ndjson.h"
#include "outcome.h"
#include "state.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

TEST(StationFold, AlikeLinesAndResultsShareOneLine) {
    const char *hosts[] = {"ivr01", "ivr02", "ivr03", "ivr04"};
    std::vector<HostLine> lines{{0, 1, "skipped /p/a: unchanged"},
                                {1, 1, "skipped /p/a: unchanged"},
                                {2, 2, "tarko_station: put /p/a: 7 no room"},
                                {3, 1, "skipped /p/a: unchanged"},
                                {2, 1, "skipped /p/a: unchanged"}};
    auto f = fold_lines(lines, hosts, true);
    ASSERT_EQ(f.size(), 2u);
    EXPECT_EQ(f[0].line, "ivr[01-04]: skipped /p/a: unchanged");
    EXPECT_EQ(f[0].stream, 1);
    EXPECT_EQ(f[1].line, "tarko_station: ivr03: put /p/a: 7 no room");
    EXPECT_EQ(f[1].stream, 2);
    EXPECT_EQ(fold_lines(lines, hosts, false).size(), 5u);

    HostOutcome out[] = {{69, 15.0}, {0, 0.5}, {0, 1.25}, {69, 14.0}};
    FILE *t = tmpfile();
    fold_table(t, hosts, 4, out, outcome_meaning);
    EXPECT_EQ(testfiles::read_stream(t), "HOST        STATUS  MEANING                  SECONDS\n"
                                         "ivr[02-03]       0  success                     1.25\n"
                                         "ivr[01,04]      69  the host did not answer    15.00\n");
    fclose(t);
}

TEST(StationJson, TextsAreEscapedAndLinesWrittenWhole) {
    char buf[64];
    EXPECT_EQ(json_escape("a\"b\\c\n\t\x01", buf, sizeof buf), 17u);
    EXPECT_STREQ(buf, "a\\\"b\\\\c\\n\\t\\u0001");
    // UTF-8 passes; a stray byte or an overlong form becomes U+FFFD.
    json_escape("\xc3\xa9-\xff-\xc0\xaf", buf, sizeof buf);
    EXPECT_STREQ(buf, "\xc3\xa9-\\ufffd-\\ufffd\\ufffd");
    EXPECT_EQ(json_escape("abcdef", buf, 4), 6u);
    EXPECT_STREQ(buf, "abc");

    static JsonLine j;
    json_begin(j);
    json_str(j, "host", "a");
    json_int(j, "status", 0);
    json_num(j, "seconds", 0.25);
    json_bool(j, "ok", true);
    json_null(j, "checksum");
    ASSERT_TRUE(json_end(j));
    EXPECT_EQ(std::string(j.buf, j.len),
              "{\"host\":\"a\",\"status\":0,\"seconds\":0.250,\"ok\":true,\"checksum\":null}\n");
    json_begin(j);
    json_str(j, "big", std::string(JSON_LINE_CAP, 'x').c_str());
    EXPECT_FALSE(json_end(j));
    EXPECT_EQ(json_write(j, 1), -1);
}

class StationState : public ::testing::Test {
  protected:
    std::string dir;
    void SetUp() override {
        char tmpl[] = "/tmp/station_state_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0); }
};

TEST_F(StationState, DirectoryFailedHostsAndAuditLines) {
    char buf[256];
    ASSERT_EQ(state_dir("/x/state", "/home/u", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "/x/state/tarko");
    ASSERT_EQ(state_dir("relative", "/home/u", buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "/home/u/.local/state/tarko");
    EXPECT_EQ(state_dir(nullptr, "", buf, sizeof buf), 1);

    std::string state = dir + "/deep/er/tarko";
    ASSERT_EQ(state_prepare(state.c_str()), 0);
    const char *failed[] = {"ivr02", "ivr09"};
    ASSERT_EQ(state_write_failed(state.c_str(), failed, 2), 0);
    EXPECT_EQ(testfiles::read_file(state + "/failed"), "ivr02\nivr09\n");
    ASSERT_EQ(state_write_failed(state.c_str(), failed, 0), 0);
    EXPECT_EQ(testfiles::read_file(state + "/failed"), "");
    // A directory where a file stands cannot be made.
    testfiles::write_file(dir + "/file", "");
    EXPECT_EQ(state_prepare((dir + "/file/tarko").c_str()), ENOTDIR);

    AuditRecord r;
    r.when = 1796790030; // 2026-12-09T04:20:30Z
    r.user = "op";
    r.station = "desk";
    r.command_line = "tarko_station -H a\tb put x /srv";
    r.host = "a";
    r.operation = "put";
    r.path = "/srv/x";
    r.length = 12;
    r.has_checksum = true;
    r.checksum = 4294967295u;
    r.status = 0;
    char line[AUDIT_LINE_CAP];
    std::size_t n = audit_format(r, line, sizeof line);
    EXPECT_EQ(std::string(line, n), "2026-12-09T04:20:30Z\top\tdesk\ttarko_station -H a\\tb put x "
                                    "/srv\ta\tput\t/srv/x\t12\t4294967295\t0\n");
    r.path = nullptr;
    r.length = -1;
    r.has_checksum = false;
    r.status = 69;
    n = audit_format(r, line, 40);
    EXPECT_EQ(n, 39u);
    EXPECT_EQ(std::string(line, n).substr(n - 8), "\t-\t-\t69\n");

    // Concurrent writers: every line arrives whole.
    std::string big(3000, 'p');
    r.path = big.c_str();
    std::vector<pid_t> kids;
    for (int k = 0; k < 4; k++) {
        pid_t pid = fork();
        if (pid == 0) {
            for (int i = 0; i < 200; i++)
                if (audit_append(state.c_str(), r) != 0)
                    _exit(1);
            _exit(0);
        }
        kids.push_back(pid);
    }
    for (pid_t pid : kids) {
        int st = 0;
        waitpid(pid, &st, 0);
        EXPECT_EQ(st, 0);
    }
    std::string log = testfiles::read_file(state + "/audit.log");
    audit_format(r, line, sizeof line);
    std::string whole(line);
    std::size_t lines = 0;
    for (std::size_t p = 0; p < log.size(); p += whole.size(), lines++)
        ASSERT_EQ(log.compare(p, whole.size(), whole), 0) << "line " << lines;
    EXPECT_EQ(lines, 800u);
}

TEST_F(StationState, JarLayoutIsChecked) {
    if (system("command -v zip >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "zip is not installed";
    std::string sh = "cd '" + dir + "' && mkdir -p ivr1/data ivr1/java other && echo v > " +
                     "ivr1/data/version && echo c > ivr1/java/M.class && echo o > other/f && " +
                     "zip -qr good.jar ivr1 && zip -qr bad.jar other && " +
                     "echo plain > plain.jar && zip -qr -z big.jar ivr1 < /dev/null";
    ASSERT_EQ(system(sh.c_str()), 0);
    char seen[128];
    int err = 0;
    EXPECT_EQ(jar_check((dir + "/good.jar").c_str(), "ivr1", seen, sizeof seen, &err),
              JarLayout::Ok);
    EXPECT_EQ(jar_check((dir + "/good.jar").c_str(), "ivr2", seen, sizeof seen, &err),
              JarLayout::NoApp);
    EXPECT_STREQ(seen, "ivr1/");
    EXPECT_EQ(jar_check((dir + "/bad.jar").c_str(), "ivr1", seen, sizeof seen, &err),
              JarLayout::NoApp);
    EXPECT_STREQ(seen, "other/");
    EXPECT_EQ(jar_check((dir + "/plain.jar").c_str(), "ivr1", seen, sizeof seen, &err),
              JarLayout::NotZip);
    EXPECT_EQ(jar_check(dir.c_str(), "ivr1", seen, sizeof seen, &err), JarLayout::NotZip);
    EXPECT_EQ(jar_check((dir + "/none.jar").c_str(), "ivr1", seen, sizeof seen, &err),
              JarLayout::Unreadable);
    EXPECT_EQ(err, ENOENT);
    // A trailing archive comment is looked past.
    EXPECT_EQ(jar_check((dir + "/big.jar").c_str(), "ivr1", seen, sizeof seen, &err),
              JarLayout::Ok);
}

} // namespace
