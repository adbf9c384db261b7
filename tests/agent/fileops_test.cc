// Operations 1, 2, 5 and 6 of the real agent on files in a temporary directory.
#include "agentrun.h"
#include "files.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <thread>

using namespace station;

namespace {

using testfiles::log_messages;
using testfiles::read_file;
using testfiles::write_file;

bool exists(const std::string &path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

mode_t mode_of(const std::string &path) {
    struct stat st {};
    stat(path.c_str(), &st);
    return st.st_mode & 07777;
}

// Some bytes that are not all alike.
std::string pattern(size_t n) {
    std::string s(n, '\0');
    for (size_t i = 0; i < n; i++)
        s[i] = static_cast<char>((i * 131 + i / 1024) & 0xff);
    return s;
}

// Sends request seq for op on dir/name and returns the next reply's status.
Reply request(RunningAgent &a, Op op, const std::string &dir, const std::string &name) {
    std::string f = request_header(++a.agent.seq, op);
    put_string(f, dir);
    put_string(f, name);
    if (!a.send(f))
        return ClientError::Write;
    return read_reply(a.agent, a.agent.seq, 5000);
}

} // namespace

TEST(Put, CreatesMissingDirectoriesAndTheFile) {
    TempDir t;
    RunningAgent a;
    std::string dir = t / "a/b/c";
    std::string data = pattern(5000);
    EXPECT_EQ(put(a.agent, dir, "file", data), Status::Ok);
    EXPECT_EQ(read_file(dir + "/file"), data);
    EXPECT_EQ(mode_of(t / "a"), 0777u);
    EXPECT_EQ(mode_of(t / "a/b/c"), 0777u);
    EXPECT_EQ(mode_of(dir + "/file"), 0666u);
    EXPECT_FALSE(exists(dir + "/file-TARKO"));
    // Replaced whole by a second, shorter upload.
    EXPECT_EQ(put(a.agent, dir, "file", "short"), Status::Ok);
    EXPECT_EQ(read_file(dir + "/file"), "short");
    EXPECT_EQ(a.err(100), "");
}

TEST(Put, SizesAroundThePiece) {
    TempDir t;
    RunningAgent a;
    for (size_t n : {0, 1, 1023, 1024, 1025, 65535, 65536, 65537, 300000}) {
        std::string data = pattern(n);
        EXPECT_EQ(put(a.agent, t.path, "f", data), Status::Ok) << n;
        EXPECT_EQ(read_file(t / "f"), data) << n;
    }
}

TEST(Put, EmptyFileWithTheEmptyChecksum) {
    TempDir t;
    RunningAgent a;
    ASSERT_EQ(request(a, Op::Put, t.path, "empty"), Status::Ready);
    std::string d;
    put_long(d, 0);
    put_long(d, static_cast<std::int32_t>(0xFFFFFFFF));
    ASSERT_TRUE(a.send(d));
    EXPECT_EQ(read_reply(a.agent, 1, 5000), Status::Ok);
    EXPECT_TRUE(exists(t / "empty"));
    EXPECT_EQ(read_file(t / "empty"), "");
}

TEST(Put, NegativeLengthCarriesNoData) {
    TempDir t;
    RunningAgent a;
    ASSERT_EQ(request(a, Op::Put, t.path, "neg"), Status::Ready);
    std::string d;
    put_long(d, -5);
    put_long(d, static_cast<std::int32_t>(0xFFFFFFFF));
    ASSERT_TRUE(a.send(d));
    EXPECT_EQ(read_reply(a.agent, 1, 5000), Status::Ok);
    EXPECT_EQ(read_file(t / "neg"), "");
}

TEST(Put, RefusedChecksWithoutInterimResponse) {
    TempDir t;
    write_file(t / "plain", "x");
    ASSERT_EQ(mkdir((t / "dir").c_str(), 0777), 0);
    RunningAgent a;
    EXPECT_EQ(request(a, Op::Put, t / "plain", "f"), Status::NotDirectory); // directory is a file
    EXPECT_EQ(request(a, Op::Put, t.path, "dir"), Status::IsDirectory);     // target is a directory
    EXPECT_EQ(request(a, Op::Put, t / "plain/deeper", "f"),
              Status::MkdirFailed);                                  // a file higher up
    EXPECT_EQ(request(a, Op::Put, t.path, ""), Status::IsDirectory); // empty name: the directory
    std::string err = a.err(300);
    EXPECT_NE(err.find("The file " + t.path + "/dir is a directory\n"), std::string::npos);
    EXPECT_NE(err.find("mkdir failed " + t.path + "/plain/deeper/f (Not a directory)\n"),
              std::string::npos);
    // Each was answered once: the next reply is to the next request.
    EXPECT_EQ(rm(a.agent, t.path, "none"), Status::Ok);
}

TEST(Put, TemporaryFileCannotBeCreated) {
    TempDir t;
    ASSERT_EQ(mkdir((t / "f-TARKO").c_str(), 0777), 0);
    RunningAgent a;
    EXPECT_EQ(request(a, Op::Put, t.path, "f"), Status::CannotCreate);
    EXPECT_NE(a.err(300).find("Could not write to " + t.path + "/f-TARKO (Is a directory)"),
              std::string::npos);
}

TEST(Put, ChecksumMismatchLeavesTargetAndNoTemporary) {
    TempDir t;
    write_file(t / "f", "old contents");
    RunningAgent a;
    ASSERT_EQ(request(a, Op::Put, t.path, "f"), Status::Ready);
    std::string d;
    put_long(d, 3);
    d += "abc";
    put_long(d, 0x48AA78A3);
    ASSERT_TRUE(a.send(d));
    EXPECT_EQ(read_reply(a.agent, 1, 5000), Status::BadChecksum);
    EXPECT_EQ(read_file(t / "f"), "old contents");
    EXPECT_FALSE(exists(t / "f-TARKO"));
    // The right checksum of "abc" is accepted.
    ASSERT_EQ(request(a, Op::Put, t.path, "f"), Status::Ready);
    d.clear();
    put_long(d, 3);
    d += "abc";
    put_long(d, 0x48AA78A2);
    ASSERT_TRUE(a.send(d));
    EXPECT_EQ(read_reply(a.agent, 2, 5000), Status::Ok);
    EXPECT_EQ(read_file(t / "f"), "abc");
}

TEST(Put, InProgressUnderTemporaryName) {
    TempDir t;
    write_file(t / "f", "old");
    RunningAgent a;
    ASSERT_EQ(request(a, Op::Put, t.path, "f"), Status::Ready);
    std::string d;
    // More than one of the agent's batches before the pause, so that some data has
    // reached the file.
    put_long(d, 600000);
    d += pattern(450000);
    ASSERT_TRUE(a.send(d));
    for (int i = 0; i < 200 && read_file(t / "f-TARKO").size() < 200000; i++)
        usleep(10000);
    EXPECT_GE(read_file(t / "f-TARKO").size(), 200000u);
    EXPECT_EQ(read_file(t / "f"), "old");
    std::string rest = pattern(600000).substr(450000);
    put_long(rest, static_cast<std::int32_t>(checksum_of(pattern(600000))));
    ASSERT_TRUE(a.send(rest));
    EXPECT_EQ(read_reply(a.agent, 1, 5000), Status::Ok);
    EXPECT_EQ(read_file(t / "f"), pattern(600000));
    EXPECT_FALSE(exists(t / "f-TARKO"));
}

TEST(Put, ClientEndsInsideTheData) {
    TempDir t;
    write_file(t / "f", "old");
    RunningAgent a;
    ASSERT_EQ(request(a, Op::Put, t.path, "f"), Status::Ready);
    std::string d;
    put_long(d, 5000);
    d += pattern(2500);
    ASSERT_TRUE(a.send(d));
    a.close_input();
    EXPECT_EQ(read_reply(a.agent, 1, 5000), Status::ShortRead);
    EXPECT_EQ(a.wait(), 0);
    EXPECT_EQ(read_file(t / "f"), "old");
    EXPECT_FALSE(exists(t / "f-TARKO"));
}

TEST(Put, ClientEndsBeforeTheChecksum) {
    TempDir t;
    write_file(t / "f", "old");
    RunningAgent a;
    ASSERT_EQ(request(a, Op::Put, t.path, "f"), Status::Ready);
    std::string d;
    put_long(d, 3);
    d += "ab"
         "c"
         "\x48\xAA";
    ASSERT_TRUE(a.send(d));
    a.close_input();
    EXPECT_EQ(a.wait(), 0);
    EXPECT_EQ(a.out(1, 200), "");
    EXPECT_EQ(read_file(t / "f"), "old"); // the target changes only by the rename
    EXPECT_FALSE(exists(t / "f-TARKO"));
}

// Two uploads of one target at a time, with a reader beside them: each upload answers
// 0, the target is always one whole upload, and every read gives a whole file.
TEST(Put, ConcurrentUploadsOfOneTargetNeverMix) {
    TempDir t;
    const std::string old_data = "old", a_data = pattern(3 << 20), b_data(4 << 20, 'b');
    write_file(t / "f", old_data);
    for (int round = 0; round < 4; round++) {
        RunningAgent a, b, reader;
        Reply ra = ClientError::None, rb = ClientError::None;
        std::atomic<bool> done{false};
        std::thread ta([&] { ra = put(a.agent, t.path, "f", a_data); });
        std::thread tb([&] { rb = put(b.agent, t.path, "f", b_data); });
        std::vector<std::string> seen;
        std::thread tr([&] {
            while (!done) {
                int fd = open((t / "copy").c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
                if (get_fd(reader.agent, t.path, "f", fd).ok())
                    seen.push_back(read_file(t / "copy"));
                close(fd);
            }
        });
        ta.join();
        tb.join();
        done = true;
        tr.join();
        EXPECT_EQ(ra, Status::Ok);
        EXPECT_EQ(rb, Status::Ok);
        std::string got = read_file(t / "f");
        EXPECT_TRUE(got == a_data || got == b_data) << "round " << round << ": " << got.size();
        for (auto &s : seen)
            EXPECT_TRUE(s == old_data || s == a_data || s == b_data) << s.size();
        EXPECT_FALSE(exists(t / "f-TARKO"));
    }
}

// An agent told to end in the middle of an upload removes its temporary file, but one
// that only waits for another agent's upload of the same target leaves that alone.
TEST(Put, EndedBySignalsAgentsRemoveOnlyTheirOwnTemporary) {
    TempDir t;
    write_file(t / "f", "old");
    for (int sig : {SIGTERM, SIGHUP, SIGINT}) {
        RunningAgent holder, waiter;
        ASSERT_EQ(request(holder, Op::Put, t.path, "f"), Status::Ready);
        std::string d;
        put_long(d, 200000);
        d += pattern(100000);
        ASSERT_TRUE(holder.send(d));
        ASSERT_TRUE(waiter.send(request_header(++waiter.agent.seq, Op::Put) + [&] {
            std::string p;
            put_string(p, t.path);
            put_string(p, "f");
            return p;
        }()));
        for (int i = 0; i < 200 && read_file(t / "f-TARKO").size() < 65536; i++)
            usleep(10000);
        kill(waiter.child.pid, sig);
        EXPECT_EQ(waiter.wait(), 128 + sig);
        EXPECT_EQ(waiter.err(), "");
        EXPECT_TRUE(exists(t / "f-TARKO"));

        kill(holder.child.pid, sig);
        EXPECT_EQ(holder.wait(), 128 + sig);
        EXPECT_EQ(log_messages(holder.err()),
                  std::vector<std::string>{"Ended by signal " + std::to_string(sig) +
                                           "; removed unfinished " + t.path + "/f-TARKO"});
        EXPECT_FALSE(exists(t / "f-TARKO"));
        EXPECT_EQ(read_file(t / "f"), "old");
    }
}

// Answers go out together when requests come together, but never wait on a lock: a
// delete sent with a put of a target another agent is writing is answered at once.
TEST(Put, AnswersAreNotHeldBackByALockWait) {
    TempDir t;
    RunningAgent holder, waiter;
    ASSERT_EQ(request(holder, Op::Put, t.path, "f"), Status::Ready);
    std::string both;
    for (auto [op, name] : {std::pair{Op::Delete, "g"}, std::pair{Op::Put, "f"}}) {
        both += request_header(++waiter.agent.seq, op);
        put_string(both, t.path);
        put_string(both, name);
    }
    ASSERT_TRUE(waiter.send(both));
    EXPECT_EQ(read_reply(waiter.agent, 1, 5000), Status::Ok);
    std::string d;
    put_long(d, 1);
    d += "x";
    put_long(d, static_cast<std::int32_t>(checksum_of("x")));
    ASSERT_TRUE(holder.send(d));
    EXPECT_EQ(read_reply(holder.agent, holder.agent.seq, 5000), Status::Ok);
    EXPECT_EQ(read_reply(waiter.agent, 2, 5000), Status::Ready);
}

TEST(Put, FromAFileDescriptor) {
    TempDir t;
    std::string data = pattern(1 << 20);
    write_file(t / "src", data);
    RunningAgent a;
    std::int64_t last = -1;
    a.agent.progress = [](void *ctx, std::int64_t done, std::int64_t) {
        *static_cast<std::int64_t *>(ctx) = done;
    };
    a.agent.progress_ctx = &last;
    EXPECT_EQ(put_path(a.agent, t.path, "dst", (t / "src").c_str()), Status::Ok);
    EXPECT_EQ(last, 1 << 20);
    EXPECT_EQ(read_file(t / "dst"), data);
}

TEST(Delete, Statuses) {
    TempDir t;
    write_file(t / "f", "x");
    ASSERT_EQ(mkdir((t / "d").c_str(), 0777), 0);
    ASSERT_EQ(symlink((t / "d").c_str(), (t / "linkdir").c_str()), 0);
    ASSERT_EQ(symlink((t / "f").c_str(), (t / "linkfile").c_str()), 0);
    ASSERT_EQ(symlink((t / "nowhere").c_str(), (t / "dangling").c_str()), 0);
    RunningAgent a;
    EXPECT_EQ(rm(a.agent, t.path, "absent"), Status::Ok);
    EXPECT_EQ(rm(a.agent, t.path, "d"), Status::IsDirectory);
    EXPECT_EQ(rm(a.agent, t.path, ""), Status::IsDirectory);
    EXPECT_EQ(rm(a.agent, t.path, "linkdir"), Status::IsDirectory);
    EXPECT_EQ(rm(a.agent, t.path, "linkfile"), Status::Ok);
    EXPECT_FALSE(exists(t / "linkfile"));
    EXPECT_TRUE(exists(t / "f"));
    EXPECT_EQ(rm(a.agent, t.path, "dangling"), Status::Ok);
    EXPECT_FALSE(exists(t / "dangling"));
    EXPECT_EQ(rm(a.agent, t / "f", "below-a-file"), Status::Failed); // ENOTDIR is not ENOENT
    EXPECT_EQ(rm(a.agent, t.path, "f"), Status::Ok);
    EXPECT_FALSE(exists(t / "f"));
    EXPECT_NE(a.err(300).find("The file " + t.path + "/d is a directory"), std::string::npos);
}

TEST(Get, EmptyFileExactBytes) {
    TempDir t;
    write_file(t / "e", "");
    RunningAgent a;
    std::string f = request_header(1, Op::Get);
    put_string(f, t.path);
    put_string(f, "e");
    ASSERT_TRUE(a.send(f));
    std::string want = response(1, Status::Ready);
    put_long(want, 0);
    put_long(want, static_cast<std::int32_t>(0xFFFFFFFF));
    want += response(1, Status::Ok);
    EXPECT_EQ(a.out(want.size()), want);
}

TEST(Get, DataAndSumAgree) {
    TempDir t;
    RunningAgent a;
    for (size_t n : {1, 1024, 1025, 70000, 1 << 20}) {
        std::string data = pattern(n);
        write_file(t / "f", data);
        FileInfo got, summed;
        EXPECT_EQ(get_path(a.agent, t.path, "f", (t / "copy").c_str(), &got), Status::Ok);
        EXPECT_EQ(read_file(t / "copy"), data);
        EXPECT_EQ(sum(a.agent, t.path, "f", &summed), Status::Ok);
        EXPECT_EQ(got.length, static_cast<std::int32_t>(n));
        EXPECT_EQ(summed.length, got.length);
        EXPECT_EQ(summed.checksum, got.checksum);
        EXPECT_EQ(got.checksum, checksum_of(data));
    }
}

TEST(Get, SumOfABCIsTheKnownValue) {
    TempDir t;
    write_file(t / "abc", "abc");
    RunningAgent a;
    FileInfo info;
    EXPECT_EQ(sum(a.agent, t.path, "abc", &info), Status::Ok);
    EXPECT_EQ(info.length, 3);
    EXPECT_EQ(info.checksum, 0x48AA78A2u);
}

TEST(Get, RefusedChecks) {
    TempDir t;
    ASSERT_EQ(symlink((t / "nowhere").c_str(), (t / "dangling").c_str()), 0);
    ASSERT_EQ(mkdir((t / "d").c_str(), 0777), 0);
    RunningAgent a;
    EXPECT_EQ(request(a, Op::Get, t.path, "dangling"), Status::CannotOpen);
    EXPECT_EQ(request(a, Op::Sum, t.path, "absent"), Status::CannotOpen);
    EXPECT_EQ(request(a, Op::Get, t.path, "d"), Status::IsDirectory);
    EXPECT_EQ(request(a, Op::Sum, t.path, ""), Status::IsDirectory);
    std::string err = a.err(300);
    EXPECT_TRUE(
        std::regex_search(err, std::regex("^\\d\\d:\\d\\d:\\d\\d Could not read file " + t.path +
                                          "/dangling \\(No such file or "
                                          "directory\\)\n")))
        << err;
    EXPECT_EQ(rm(a.agent, t.path, "x"), Status::Ok);
}

TEST(Get, FileShrinkingWhileSent) {
    TempDir t;
    const size_t n = 4 << 20, keep = 100000;
    std::string data = pattern(n);
    write_file(t / "f", data);
    RunningAgent a;
    std::string f = request_header(1, Op::Get);
    put_string(f, t.path);
    put_string(f, "f");
    ASSERT_TRUE(a.send(f));
    ASSERT_EQ(a.out(7), response(1, Status::Ready));
    std::string len = a.out(4);
    ASSERT_EQ(len.size(), 4u);
    // The agent is blocked on the full pipe long before the end of the file.
    usleep(100000);
    ASSERT_EQ(truncate((t / "f").c_str(), keep), 0);
    std::string got = a.out(n, 10000);
    ASSERT_EQ(got.size(), n);
    std::int32_t sent;
    ASSERT_EQ(read_long_value(a.agent, &sent, 5000), ClientError::None);
    EXPECT_EQ(static_cast<std::uint32_t>(sent), checksum_of(got));
    EXPECT_EQ(read_reply(a.agent, 1, 5000), Status::ShortRead);
    EXPECT_EQ(got.substr(0, keep), data.substr(0, keep));
    size_t last = got.find_last_not_of('\0');
    EXPECT_LT(last, n / 2); // the missing part came as zero bytes
}

TEST(Get, ReaderGoneIsAShortWriteNotACrash) {
    TempDir t;
    write_file(t / "f", pattern(1 << 20));
    RunningAgent a;
    std::string f = request_header(1, Op::Get);
    put_string(f, t.path);
    put_string(f, "f");
    ASSERT_TRUE(a.send(f));
    ASSERT_EQ(a.out(7), response(1, Status::Ready));
    close(a.child.out);
    a.child.out = -1;
    a.agent.from = -1;
    a.close_input();
    EXPECT_EQ(a.wait(), 0); // SIGPIPE is ignored: the agent ends at its next read
}

TEST(Put, AgentStartedWithoutStandardOutputKeepsItsAnswersOutOfTheFile) {
    // Descriptor 1 missing: the upload's temporary file must not take its number, or
    // the interim response would be written into the file ahead of the data.
    TempDir t;
    std::string data = pattern(3000);
    std::string in = request_header(1, Op::Put);
    put_string(in, t.path);
    put_string(in, "f");
    put_long(in, static_cast<std::int32_t>(data.size()));
    in += data;
    put_long(in, static_cast<std::int32_t>(checksum_of(data)));
    testproc::Options o;
    o.input = in;
    auto r = testproc::run({"/bin/sh", "-c", "exec \"$0\" >&-", testproc::bin("tarko_remote2")}, o);
    EXPECT_EQ(r.status, 0);
    std::string got = read_file(t / "f");
    EXPECT_EQ(got.size(), data.size());
    EXPECT_TRUE(got == data) << "the file starts with " << got.substr(0, 8).size() << " bytes "
                             << (got.rfind("R", 0) == 0 ? "of a response" : "of other data");
    EXPECT_EQ(r.err, "");
}
