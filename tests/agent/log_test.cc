// The activity log: lines on standard error and in the open file, the signal-safe
// line, and the request limit that ends the agent in the middle of logging.
#include "alarm.h"
#include "files.h"
#include "log.h"

#include <csignal>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <regex>
#include <string>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

using testfiles::capture_stderr;
using testfiles::read_file;

namespace {

// A fresh directory, removed with what it holds at the end of the test.
struct Tree {
    std::string root;
    Tree() {
        char tmpl[] = "/tmp/tarkolog.XXXXXX";
        root = mkdtemp(tmpl);
    }
    ~Tree() {
        std::string cmd = "rm -rf '" + root + "'";
        if (std::system(cmd.c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << root;
    }
    std::string operator/(const std::string &p) const { return root + "/" + p; }
};

} // namespace

TEST(Log, LineOnStandardError) {
    std::string err =
        capture_stderr([] { log_entry("Received request to delete %s audium app", "app1"); });
    EXPECT_TRUE(std::regex_match(
        err, std::regex("\\d\\d:\\d\\d:\\d\\d Received request to delete app1 audium app\n")))
        << err;
}

TEST(Log, LineAlsoInTheOpenFileAndLongMessagesAreCut) {
    Tree t;
    int saved = logfd;
    logfd = open((t / "log").c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
    ASSERT_GE(logfd, 0);
    std::string big(5000, 'm');
    std::string err = capture_stderr([&] {
        log_entry("one %d", 1);
        log_entry("%s", big.c_str());
        log_init();
        log_entry_from_signal("Remote timed out");
    });
    close_log_file();
    EXPECT_EQ(logfd, -1);
    logfd = saved;
    std::string file = read_file(t / "log");
    EXPECT_EQ(file, err);
    std::regex shape("\\d\\d:\\d\\d:\\d\\d one 1\n\\d\\d:\\d\\d:\\d\\d m{1013}\n"
                     "(\\d\\d:\\d\\d:\\d\\d) Remote timed out\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(file, m, shape)) << file.substr(0, 100);
    // The signal-safe line carries the same local time as the ordinary one.
    std::time_t now = std::time(nullptr);
    std::tm tm{};
    localtime_r(&now, &tm);
    std::string hms = m[1].str();
    long logged = std::stol(hms.substr(0, 2)) * 3600 + std::stol(hms.substr(3, 2)) * 60 +
                  std::stol(hms.substr(6, 2));
    long local = tm.tm_hour * 3600L + tm.tm_min * 60 + tm.tm_sec;
    EXPECT_LE((local - logged + 86400) % 86400, 2);
}

using LogDeathTest = ::testing::Test;

TEST(LogDeathTest, RequestLimitEndsTheProcessEvenInsideALogWrite) {
    // The limit fires while the process is busy writing log lines: the handler must
    // still write its own line and end with status 1, with no lock to deadlock on.
    Tree t;
    std::string path = t / "busy.log";
    EXPECT_EXIT(
        {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            logfd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
            log_init();
            struct itimerval it {};
            it.it_value.tv_usec = 300000;
            arm_alarm(0, SignalAlarmTimeout);
            setitimer(ITIMER_REAL, &it, nullptr);
            for (long i = 0;; i++)
                log_entry("busy line %ld with some text to make it longer", i);
        },
        ::testing::ExitedWithCode(1), "");
    int fd = open(path.c_str(), O_RDONLY);
    off_t size = lseek(fd, 0, SEEK_END);
    char b[64] = {};
    ASSERT_GT(size, 30);
    pread(fd, b, 26, size - 26);
    close(fd);
    EXPECT_STREQ(b + 9, "Remote timed out\n");
}

TEST(LogDeathTest, RequestLimitEndsTheProcessEvenWhenItsOwnLineBlocks) {
    // The log file takes no more bytes (a full FIFO nobody reads), so the handler's own
    // line blocks: the fallback alarm must still take the process down within seconds.
    Tree t;
    std::string fifo = t / "stuck.log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_EXIT(
        {
            // A hang would stall the whole test: a watchdog ends it with another signal.
            pid_t self = getpid();
            if (fork() == 0) {
                for (int i = 0; i < 150 && getppid() == self; i++)
                    usleep(100000);
                if (getppid() == self)
                    kill(self, SIGKILL);
                _exit(0);
            }
            int null = open("/dev/null", O_WRONLY);
            dup2(null, 2);
            int rd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
            int wr = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
            if (rd < 0 || wr < 0)
                _exit(3);
            char block[4096] = {};
            while (write(wr, block, sizeof block) > 0) {
            }
            fcntl(wr, F_SETFL, 0);
            logfd = wr;
            arm_alarm(1, SignalAlarmTimeout);
            for (;;)
                pause();
        },
        ::testing::KilledBySignal(SIGALRM), "");
}
