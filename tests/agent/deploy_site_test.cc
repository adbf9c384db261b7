// Operations 7 and 8 black-box: the real agent in a simulated host, with the Audium
// stand-in under /opt/audium, real archives built by the machine's jar tool, and the
// station's frames on its standard input and output.
#include "client.h"
#include "files.h"
#include "proc.h"
#include "site.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

using testfiles::log_messages;
using testfiles::read_file;
using testfiles::write_file;

const std::string H = "/opt/audium";
const std::string WORK = H + "/applications.work";
const std::string LIVE = H + "/applications";
const std::string OLD = H + "/applications.old";
const std::string MASTER = H + "/admin/appScripts";

// The messages of log lines ("HH:MM:SS message"), without their time stamps.
std::string joined(const std::vector<std::string> &lines) {
    std::string s;
    for (const auto &l : lines)
        s += l + "\n";
    return s;
}

std::string today_log() {
    time_t now = time(nullptr);
    char day[16];
    strftime(day, sizeof day, "%Y%m%d", localtime(&now));
    return std::string("/zav/log/tarko/tarko_log.") + day;
}

// Archives of two versions of ivr1 and a damaged one, built once per test program.
struct Archives {
    std::string dir, v1, v2, bloated, damaged;
    std::string error;
    ~Archives() {
        if (!dir.empty())
            fs::remove_all(dir);
    }
};

const Archives &archives() {
    static Archives a = [] {
        Archives r;
        char real[PATH_MAX];
        if (realpath("/usr/bin/jar", real) == nullptr) {
            r.error = "no jar tool on this machine";
            return r;
        }
        char tmpl[] = "/tmp/deploy_site_test.XXXXXX";
        r.dir = mkdtemp(tmpl);
        for (std::string v : {"v1", "v2", "v3"}) {
            fs::path src = fs::path(r.dir) / ("src" + v);
            write_file(src / "ivr1/data/version", v + "\n");
            if (v == "v3") // small as an archive, 2 MB unpacked
                write_file(src / "ivr1/data/silence.raw", std::string(2000000, '\0'));
            write_file(src / "ivr1/data/prompts/hello.txt", "hello from " + v + "\n");
            write_file(src / "ivr1/java/Main.class", "class " + v);
            write_file(src / "ivr1/other/unused.txt", "not unpacked");
            std::string out = r.dir + "/" + v + ".jar";
            testproc::Options o;
            o.timeout_ms = 60000;
            auto res = testproc::run({real, "cf", out, "-C", src.string(), "."}, o);
            if (res.status != 0)
                r.error = "jar cf failed: " + res.err;
            (v == "v1" ? r.v1 : v == "v2" ? r.v2 : r.bloated) = read_file(out);
        }
        r.damaged = "PK this is no archive at all";
        return r;
    }();
    return a;
}

struct DeployReply {
    bool ready = false;                                 // the interim status 1 came
    station::Reply status = station::ClientError::None; // the final status (or a client error)
};

class DeploySite : public ::testing::Test {
  protected:
    testsite::Site site;
    testproc::Child child;
    station::Agent agent;
    std::vector<std::string> all_log; // lines of every agent of this test
    std::vector<std::string> log;     // lines of the last agent

    void SetUp() override {
        if (!archives().error.empty())
            GTEST_SKIP() << archives().error;
        SITE_UP_OR_SKIP(site, {"a"});
        ASSERT_TRUE(site.write_file("a", H + "/standin/.keep", ""));
    }

    void TearDown() override { testproc::reap(child); }

    void start(const testproc::Options &opt = {}) {
        testproc::reap(child);
        ASSERT_TRUE(site.spawn("a", {"/usr/local/bin/tarko_remote2"}, child, opt));
        agent = station::Agent{};
        station::agent_attach(agent, child.in, child.out);
        agent.timeout_ms = 30000;
    }

    // Ends the agent and collects its log lines.
    void finish() {
        testproc::close_input(child);
        agent.to = -1;
        EXPECT_EQ(testproc::wait(child, 10000), 0);
        log = log_messages(testproc::read_all(child.err, 2000));
        all_log.insert(all_log.end(), log.begin(), log.end());
    }

    std::string request(Op op, const std::string &appl) {
        std::string f = station::request_header(++agent.seq, op);
        station::put_string(f, appl);
        return f;
    }

    // Operation 7 with data and a checksum of our choosing.
    DeployReply deploy(const std::string &appl, const std::string &data, bool good_sum = true) {
        DeployReply r;
        EXPECT_EQ(station::send_raw(agent, request(Op::Deploy, appl)), station::ClientError::None);
        station::Reply st = station::read_reply(agent, agent.seq, 30000);
        if (st != Status::Ready) {
            r.status = st;
            return r;
        }
        r.ready = true;
        std::string f;
        station::put_long(f, static_cast<std::int32_t>(data.size()));
        f += data;
        std::uint32_t sum = station::checksum_of(data);
        station::put_long(f, static_cast<std::int32_t>(good_sum ? sum : sum ^ 1));
        EXPECT_EQ(station::send_raw(agent, f), station::ClientError::None);
        r.status = station::read_reply(agent, agent.seq, 60000);
        return r;
    }

    station::Reply undeploy(const std::string &appl) {
        EXPECT_EQ(station::send_raw(agent, request(Op::Undeploy, appl)),
                  station::ClientError::None);
        return station::read_reply(agent, agent.seq, 30000);
    }

    // One deployment by a fresh agent.
    DeployReply deploy_once(const std::string &data, const testproc::Options &opt = {}) {
        start(opt);
        DeployReply r = deploy("ivr1", data);
        finish();
        return r;
    }

    // The version held by an application copy: "none" when the copy is absent.
    std::string version(const std::string &copy) {
        if (!site.exists("a", copy))
            return "none";
        std::string v = site.read_file("a", copy + "/data/version");
        return v.empty() ? "broken" : v.substr(0, v.size() - 1);
    }
    // Work, live and old copies of ivr1, as "work live old".
    std::string trees() {
        return version(WORK + "/ivr1") + " " + version(LIVE + "/ivr1") + " " +
               version(OLD + "/ivr1");
    }

    void mode(const std::string &m) { ASSERT_TRUE(site.write_file("a", H + "/standin/mode", m)); }

    bool has(const std::string &line) const {
        for (const auto &l : log)
            if (l == line)
                return true;
        return false;
    }

    // Lines from the first one starting with prefix to the end.
    std::string from(const std::string &prefix) const {
        for (std::size_t i = 0; i < log.size(); i++)
            if (log[i].rfind(prefix, 0) == 0)
                return joined(std::vector<std::string>(log.begin() + i, log.end()));
        return "";
    }

    void expect_daily_log_matches() {
        std::string file = site.read_file("a", today_log());
        EXPECT_EQ(joined(log_messages(file)), joined(all_log));
    }
};

TEST_F(DeploySite, FirstDeploymentIsLoadedAndEquipped) {
    ASSERT_FALSE(site.exists("a", "/zav"));
    DeployReply r = deploy_once(archives().v1);
    EXPECT_TRUE(r.ready);
    EXPECT_EQ(r.status, Status::Ok);
    EXPECT_EQ(joined(log), "Received request to copy ivr1 audium app\n"
                           "Moving appl from live directory to old directory failed (No such "
                           "file or directory)\n"
                           "Audium Shell: /opt/audium/applications/ivr1/admin/status.sh\n"
                           "From Audium: ivr1 is not a valid application name.\n"
                           "Audium Shell: /opt/audium/applications/ivr1/admin/deployApp.sh\n"
                           "From Audium: Deploying application ivr1\n"
                           "From Audium: Application ivr1 is running.\n");
    EXPECT_EQ(trees(), "none v1 none");
    // Only data and java came from the archive; then the admin scripts and the log link.
    std::string live = LIVE + "/ivr1";
    EXPECT_EQ(site.read_file("a", live + "/data/prompts/hello.txt"), "hello from v1\n");
    EXPECT_EQ(site.read_file("a", live + "/java/Main.class"), "class v1");
    EXPECT_FALSE(site.exists("a", live + "/other"));
    for (const char *s : {"status.sh", "updateApp.sh", "deployApp.sh", "resumeApp.sh",
                          "releaseApp.sh", "audium_standin.sh"}) {
        struct stat st;
        ASSERT_EQ(stat(site.path("a", live + "/admin/" + s).c_str(), &st), 0) << s;
        EXPECT_EQ(st.st_mode & 07777, 0777u) << s;
        EXPECT_EQ(site.read_file("a", live + "/admin/" + s), site.read_file("a", MASTER + "/" + s));
    }
    char target[256] = {};
    ASSERT_GT(readlink(site.path("a", live + "/logs").c_str(), target, sizeof target - 1), 0);
    EXPECT_STREQ(target, "/zav/log/audium/ivr1");
    EXPECT_TRUE(site.exists("a", "/zav/log/audium/ivr1"));
    EXPECT_FALSE(site.exists("a", "/zav/log/audium/ivr1/junkfile"));
    EXPECT_FALSE(site.exists("a", WORK + "/ivr1.jar"));
    EXPECT_EQ(site.read_file("a", H + "/standin/ivr1.state"), "running\n");
    expect_daily_log_matches();
}

TEST_F(DeploySite, RedeploymentKeepsThePreviousVersionAsTheOldCopy) {
    ASSERT_EQ(deploy_once(archives().v1).status, Status::Ok);
    DeployReply r = deploy_once(archives().v2);
    EXPECT_EQ(r.status, Status::Ok);
    EXPECT_EQ(joined(log), "Received request to copy ivr1 audium app\n"
                           "Audium Shell: /opt/audium/applications/ivr1/admin/status.sh\n"
                           "From Audium: Application ivr1 is running.\n"
                           "Audium Shell: /opt/audium/applications/ivr1/admin/updateApp.sh\n"
                           "From Audium: Application ivr1 updated.\n");
    EXPECT_EQ(trees(), "none v2 v1");
    // A third version: only one earlier version survives.
    ASSERT_EQ(deploy_once(archives().v1).status, Status::Ok);
    EXPECT_EQ(trees(), "none v1 v2");
    expect_daily_log_matches();
}

TEST_F(DeploySite, RefusedDeploymentPutsThePreviousVersionBack) {
    ASSERT_EQ(deploy_once(archives().v1).status, Status::Ok);
    mode("updateApp refuse\n");
    DeployReply r = deploy_once(archives().v2);
    EXPECT_EQ(r.status, Status::Failed);
    EXPECT_EQ(from("Audium Shell: /opt/audium/applications/ivr1/admin/updateApp.sh"),
              "Audium Shell: /opt/audium/applications/ivr1/admin/updateApp.sh\n"
              "From Audium: Request updateApp for application ivr1 refused by the server.\n"
              "Application not loaded by Audium, putting back old program\n");
    EXPECT_EQ(trees(), "v2 v1 none");
    // The next deployment starts from a clean work copy.
    mode("");
    ASSERT_EQ(deploy_once(archives().v2).status, Status::Ok);
    EXPECT_EQ(trees(), "none v2 v1");
    expect_daily_log_matches();
}

TEST_F(DeploySite, RefusedFirstDeploymentLeavesNoLiveCopy) {
    mode("deployApp refuse\n");
    DeployReply r = deploy_once(archives().v1);
    EXPECT_EQ(r.status, Status::Failed);
    EXPECT_EQ(from("Application not loaded"),
              "Application not loaded by Audium, putting back old program\n"
              "Could not restore /opt/audium/applications.old/ivr1 to "
              "/opt/audium/applications/ivr1 (No such file or directory) (old to live)\n");
    EXPECT_EQ(trees(), "v1 none none");
}

TEST_F(DeploySite, SuspendedNewApplicationIsResumedAndQuestionsAnswered) {
    mode("deployApp suspend\n* ask\n");
    DeployReply r = deploy_once(archives().v1);
    EXPECT_EQ(r.status, Status::Ok);
    EXPECT_EQ(from("Audium Shell: /opt/audium/applications/ivr1/admin/deployApp.sh"),
              "Audium Shell: /opt/audium/applications/ivr1/admin/deployApp.sh\n"
              "From Audium: Deploying application ivr1\n"
              "From Audium: Application ivr1 is in suspended state.\n"
              "Audium Shell: /opt/audium/applications/ivr1/admin/resumeApp.sh\n"
              // What follows a question belongs to the next line.
              "From Audium:  Application ivr1 resumed.\n");
    EXPECT_EQ(site.read_file("a", H + "/standin/calls"),
              "status ivr1\nstatus ivr1 answer=y\ndeployApp ivr1\nresumeApp ivr1\n"
              "resumeApp ivr1 answer=y\n");
}

TEST_F(DeploySite, SuspendedApplicationIsUpdatedButCountsAsNotLoaded) {
    ASSERT_EQ(deploy_once(archives().v1).status, Status::Ok);
    ASSERT_TRUE(site.write_file("a", H + "/standin/ivr1.state", "suspended\n"));
    EXPECT_EQ(deploy_once(archives().v2).status, Status::Failed);
    EXPECT_FALSE(has("Returned status unknown"));
    EXPECT_TRUE(has("From Audium: Application ivr1 updated."));
    EXPECT_EQ(trees(), "v2 v1 none");
}

TEST_F(DeploySite, UnknownAndBadStatusFailTheLoad) {
    mode("status silent\n");
    EXPECT_EQ(deploy_once(archives().v1).status, Status::Failed);
    EXPECT_EQ(from("Audium Shell"), "Audium Shell: /opt/audium/applications/ivr1/admin/status.sh\n"
                                    "Returned status unknown\n"
                                    "Application not loaded by Audium, putting back old "
                                    "program\n"
                                    "Could not restore /opt/audium/applications.old/ivr1 to "
                                    "/opt/audium/applications/ivr1 (No such file or "
                                    "directory) (old to live)\n");
    mode("status say Application ivr1 released from memory.\n");
    EXPECT_EQ(deploy_once(archives().v1).status, Status::Failed);
    EXPECT_TRUE(has("Bad status returned"));
}

TEST_F(DeploySite, ScriptOutputIsSplitLoggedAndDecidedByItsFirstRecognisedLine) {
    mode("status say Version 4.1 loaded\\nApplication ivr1 suspended.\\n"
         "Application ivr1 is running.\n");
    EXPECT_EQ(deploy_once(archives().v1).status, Status::Failed);
    EXPECT_EQ(from("Audium Shell"), "Audium Shell: /opt/audium/applications/ivr1/admin/status.sh\n"
                                    "From Audium: Version 4.\n"
                                    "From Audium: 1 loaded\n"
                                    "From Audium: Application ivr1 suspended.\n"
                                    "From Audium: Application ivr1 is running.\n"
                                    "Audium Shell: /opt/audium/applications/ivr1/admin/"
                                    "updateApp.sh\n"
                                    "From Audium: ivr1 is not a valid application name.\n"
                                    "Returned status unknown\n"
                                    "Application not loaded by Audium, putting back old "
                                    "program\n"
                                    "Could not restore /opt/audium/applications.old/ivr1 to "
                                    "/opt/audium/applications/ivr1 (No such file or "
                                    "directory) (old to live)\n");

    // An overlong line is cut at 199 characters, which lose its phrase here.
    std::string head(190, 'x');
    mode("status say " + head + " is running.\n");
    EXPECT_EQ(deploy_once(archives().v1).status, Status::Failed);
    EXPECT_TRUE(has("From Audium: " + head + " is runni")) << joined(log);
    EXPECT_TRUE(has("Returned status unknown"));
}

TEST_F(DeploySite, RemovalReleasesAndKeepsTheLiveCopyAsOld) {
    ASSERT_EQ(deploy_once(archives().v1).status, Status::Ok);
    ASSERT_EQ(deploy_once(archives().v2).status, Status::Ok);
    ASSERT_EQ(trees(), "none v2 v1");
    start();
    EXPECT_EQ(undeploy("ivr1"), Status::Ok);
    finish();
    EXPECT_EQ(joined(log), "Received request to delete ivr1 audium app\n"
                           "Audium Shell: /opt/audium/applications/ivr1/admin/releaseApp.sh\n"
                           "From Audium: Application ivr1 released from memory.\n");
    EXPECT_EQ(trees(), "none none v2");
    EXPECT_FALSE(site.exists("a", H + "/standin/ivr1.state"));
    // The log directory stays.
    EXPECT_TRUE(site.exists("a", "/zav/log/audium/ivr1"));
    expect_daily_log_matches();
}

TEST_F(DeploySite, RemovalLeavesTheWorkCopyAlone) {
    mode("deployApp refuse\n");
    ASSERT_EQ(deploy_once(archives().v1).status, Status::Failed);
    ASSERT_EQ(trees(), "v1 none none");
    start();
    EXPECT_EQ(undeploy("ivr1"), Status::Ok);
    finish();
    EXPECT_EQ(trees(), "v1 none none");
}

TEST_F(DeploySite, RemovalOfAnUnknownApplicationSucceeds) {
    start();
    EXPECT_EQ(undeploy("nosuch"), Status::Ok);
    finish();
    EXPECT_EQ(log[0], "Received request to delete nosuch audium app");
    EXPECT_EQ(log[1], "Audium Shell: /opt/audium/applications/nosuch/admin/releaseApp.sh");
    EXPECT_EQ(log.size(), 2u);
    EXPECT_TRUE(site.exists("a", OLD));
}

TEST_F(DeploySite, NoAudiumHome) {
    testproc::Options o;
    o.unset = {"AUDIUM_HOME"};
    start(o);
    DeployReply r = deploy("ivr1", archives().v1);
    EXPECT_FALSE(r.ready);
    EXPECT_EQ(r.status, Status::NoAudiumHome);
    EXPECT_EQ(undeploy("ivr1"), Status::NoAudiumHome);
    // Priority over a bad name.
    EXPECT_EQ(deploy("..", "").status, Status::NoAudiumHome);
    EXPECT_EQ(undeploy(".."), Status::NoAudiumHome);
    finish();
    EXPECT_EQ(joined(log), "Received request to copy ivr1 audium app\nNo Audium Home\n"
                           "Received request to delete ivr1 audium app\n"
                           "Received request to copy .. audium app\nNo Audium Home\n"
                           "Received request to delete .. audium app\n");
    expect_daily_log_matches();
}

TEST_F(DeploySite, TreeBlockedByAFile) {
    ASSERT_TRUE(site.write_file("a", OLD, "in the way"));
    start();
    DeployReply r = deploy("ivr1", archives().v1);
    EXPECT_FALSE(r.ready);
    EXPECT_EQ(r.status, Status::NotDirectory);
    EXPECT_EQ(undeploy("ivr1"), Status::NotDirectory);
    finish();
    EXPECT_EQ(joined(log), "Received request to copy ivr1 audium app\n"
                           "The directory path /opt/audium/applications.old is blocked by a "
                           "file.\n"
                           "Received request to delete ivr1 audium app\n");
    EXPECT_EQ(site.read_file("a", OLD), "in the way");
}

TEST_F(DeploySite, DirectoryCreationFailures) {
    // A file where a directory of the log path should be.
    ASSERT_TRUE(site.write_file("a", "/zav/log/audium", "in the way"));
    start();
    EXPECT_EQ(deploy("ivr1", archives().v1).status, Status::MkdirFailed);
    finish();
    EXPECT_EQ(log.back(), "logdir mkdir failed /zav/log/audium/ivr1/junkfile (Not a directory)");

    testproc::Options o;
    o.env = {"AUDIUM_HOME=/etc/passwd/h"};
    start(o);
    EXPECT_EQ(deploy("ivr1", archives().v1).status, Status::MkdirFailed);
    EXPECT_EQ(undeploy("ivr1"), Status::MkdirFailed);
    finish();
    EXPECT_EQ(joined(log), "Received request to copy ivr1 audium app\n"
                           "workdir mkdir failed /etc/passwd/h/applications.work/ivr1 (Not a "
                           "directory)\n"
                           "Received request to delete ivr1 audium app\n"
                           "olddir2 mkdir failed /etc/passwd/h/applications.old/ivr1 (Not a "
                           "directory)\n");
}

TEST_F(DeploySite, MissingLogDirectoryIsCreatedWithItsParents) {
    ASSERT_TRUE(site.write_file("a", "/zav/other", ""));
    ASSERT_EQ(deploy_once(archives().v1).status, Status::Ok);
    struct stat st;
    ASSERT_EQ(stat(site.path("a", "/zav/log/audium/ivr1").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0777u);
}

TEST_F(DeploySite, MasterAdminDirectoryMissingOrNotADirectory) {
    std::string saved = site.path("a", H + "/admin/saved");
    ASSERT_EQ(rename(site.path("a", MASTER).c_str(), saved.c_str()), 0);
    start();
    EXPECT_EQ(deploy("ivr1", archives().v1).status, Status::NoAdminDir);
    ASSERT_TRUE(site.write_file("a", MASTER, "x"));
    EXPECT_EQ(deploy("ivr1", archives().v1).status, Status::NoAdminDir);
    finish();
    EXPECT_EQ(joined(log), "Received request to copy ivr1 audium app\n"
                           "Master admin directory /opt/audium/admin/appScripts does not exist "
                           "(No such file or directory)\n"
                           "Received request to copy ivr1 audium app\n"
                           "Master admin directory /opt/audium/admin/appScripts not a directory "
                           "(Not a directory)\n");
}

// The work tree is open to every account: a link planted at the archive's name, by
// another account, is replaced by the agent's own file, never written through.
TEST_F(DeploySite, ArchivePathIsADirectoryOrAPlantedLink) {
    ASSERT_TRUE(site.write_file("a", WORK + "/ivr1.jar/x", ""));
    ASSERT_TRUE(site.write_file("a", "/etc/victim", "root's own", 0600));
    ASSERT_EQ(chmod(site.path("a", WORK).c_str(), 01777), 0);
    auto r = site.exec("a", {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", "ln",
                             "-s", "/etc/victim", WORK + "/ivr2.jar"});
    ASSERT_EQ(r.status, 0) << r.err;
    start();
    DeployReply d = deploy("ivr1", archives().v1);
    EXPECT_FALSE(d.ready);
    EXPECT_EQ(d.status, Status::IsDirectory);
    d = deploy("ivr2", archives().v1);
    EXPECT_TRUE(d.ready);
    EXPECT_EQ(d.status, Status::Ok);
    finish();
    EXPECT_EQ(site.read_file("a", "/etc/victim"), "root's own");
    EXPECT_FALSE(site.exists("a", WORK + "/ivr2.jar"));
    EXPECT_TRUE(has("The file /opt/audium/applications.work/ivr1.jar is a directory"));
}

TEST_F(DeploySite, NamesThatWouldReachWholeTreesAreRefused) {
    ASSERT_EQ(deploy_once(archives().v1).status, Status::Ok);
    ASSERT_EQ(deploy_once(archives().v2).status, Status::Ok);
    start();
    for (const char *name : {"", ".", "..", "a/b", "../applications"}) {
        DeployReply r = deploy(name, archives().v1);
        EXPECT_FALSE(r.ready) << name;
        EXPECT_EQ(r.status, Status::Failed) << name;
        EXPECT_EQ(undeploy(name), Status::Failed) << name;
    }
    finish();
    EXPECT_TRUE(has("Refused application name \"..\": empty, \".\", \"..\" or holding \"/\""));
    EXPECT_EQ(trees(), "none v2 v1");
    EXPECT_EQ(version(H + "/applications/ivr1"), "v2");
    EXPECT_FALSE(site.exists("a", "/zav/log/audium/a"));
    EXPECT_EQ(site.read_file("a", H + "/standin/calls"),
              "status ivr1\ndeployApp ivr1\nstatus ivr1\nupdateApp ivr1\n");
}

TEST_F(DeploySite, PathsTooLongAreRefusedBeforeAnythingChanges) {
    std::string home = "/opt/" + std::string(73, 'h'); // 78 characters
    testproc::Options o;
    o.env = {"AUDIUM_HOME=" + home + "x"};
    start(o);
    EXPECT_EQ(deploy("ivr1", archives().v1).status, Status::Failed);
    finish();
    EXPECT_FALSE(site.exists("a", home + "x"));
    EXPECT_EQ(log.back(), "Audium home " + home +
                              "x and application name ivr1 too long for "
                              "the paths");

    o.env = {"AUDIUM_HOME=" + home};
    start(o);
    EXPECT_EQ(deploy(std::string(32, 'n'), archives().v1).status, Status::Failed);
    // The removal has more room.
    EXPECT_EQ(undeploy(std::string(47, 'n')), Status::Ok);
    EXPECT_EQ(undeploy(std::string(48, 'n')), Status::Failed);
    finish();
    EXPECT_FALSE(site.exists("a", home + "/applications.work"));

    o.env = {"JAVA_HOME=/" + std::string(135, 'j')};
    start(o);
    EXPECT_EQ(deploy("ivr1", archives().v1).status, Status::Failed);
    finish();
    EXPECT_FALSE(site.exists("a", WORK));
}

TEST_F(DeploySite, ChecksumMismatchKeepsTheArchiveAndTheLiveCopy) {
    ASSERT_EQ(deploy_once(archives().v1).status, Status::Ok);
    start();
    DeployReply r = deploy("ivr1", archives().v2, false);
    EXPECT_TRUE(r.ready);
    EXPECT_EQ(r.status, Status::BadChecksum);
    finish();
    EXPECT_EQ(joined(log), "Received request to copy ivr1 audium app\n");
    EXPECT_EQ(site.read_file("a", WORK + "/ivr1.jar"), archives().v2);
    EXPECT_EQ(trees(), "none v1 none");
}

TEST_F(DeploySite, DataEndingEarlyLeavesNoPartialArchive) {
    std::string data;
    for (int i = 0; i < 3000; i++)
        data += static_cast<char>('a' + i % 26);
    start();
    EXPECT_EQ(station::send_raw(agent, request(Op::Deploy, "ivr1")), station::ClientError::None);
    ASSERT_EQ(station::read_reply(agent, agent.seq, 10000), Status::Ready);
    std::string f;
    station::put_long(f, static_cast<std::int32_t>(data.size()));
    f += data.substr(0, 2500);
    EXPECT_EQ(station::send_raw(agent, f), station::ClientError::None);
    testproc::close_input(child);
    agent.to = -1;
    EXPECT_EQ(station::read_reply(agent, agent.seq, 10000), Status::ShortRead);
    finish();
    EXPECT_FALSE(site.exists("a", WORK + "/ivr1.jar"));
    EXPECT_EQ(trees(), "none none none");
}

TEST_F(DeploySite, NoJavaHomeIsFoundOnlyAfterTheData) {
    ASSERT_EQ(deploy_once(archives().v1).status, Status::Ok);
    testproc::Options o;
    o.unset = {"JAVA_HOME"};
    DeployReply r = deploy_once(archives().v2, o);
    EXPECT_TRUE(r.ready);
    EXPECT_EQ(r.status, Status::NoJavaHome);
    EXPECT_EQ(trees(), "none v1 none");
}

TEST_F(DeploySite, JarFailureLeavesTheLiveCopy) {
    ASSERT_EQ(deploy_once(archives().v1).status, Status::Ok);
    DeployReply r = deploy_once(archives().damaged);
    EXPECT_TRUE(r.ready);
    EXPECT_EQ(r.status, Status::Failed);
    EXPECT_EQ(log.back().rfind("Jar command failed. Jar returned ", 0), 0u) << log.back();
    EXPECT_EQ(trees(), "none v1 none");

    // A jar tool that cannot be started ends its child with 1.
    testproc::Options o;
    o.env = {"JAVA_HOME=/nonexistent"};
    r = deploy_once(archives().v2, o);
    EXPECT_EQ(r.status, Status::Failed);
    EXPECT_EQ(log.back(), "Jar command failed. Jar returned 256.");
    EXPECT_EQ(trees(), "none v1 none");
}

TEST_F(DeploySite, ScriptCopyFailureLeavesTheLiveCopy) {
    ASSERT_EQ(deploy_once(archives().v1).status, Status::Ok);
    ASSERT_EQ(symlink("/nonexistent", site.path("a", MASTER + "/broken.sh").c_str()), 0);
    DeployReply r = deploy_once(archives().v2);
    EXPECT_EQ(r.status, Status::Failed);
    EXPECT_EQ(log.back(), "Can't open file /opt/audium/admin/appScripts/broken.sh for reading "
                          "(No such file or directory)");
    EXPECT_EQ(version(LIVE + "/ivr1"), "v1");
    EXPECT_EQ(version(OLD + "/ivr1"), "none");
}

// A work tree on a file system of its own: the work-to-live rename fails (EXDEV).
TEST_F(DeploySite, WorkToLiveRenameFailureRestoresThePreviousVersion) {
    ASSERT_EQ(deploy_once(archives().v1).status, Status::Ok);
    auto m = site.exec("a", {"mount", "-t", "tmpfs", "worktmp", WORK});
    if (m.status != 0)
        GTEST_SKIP() << "cannot mount in the site: " << m.err;
    // The agent must run in the view where the mount is: the site's own namespace.
    DeployReply r = deploy_once(archives().v2);
    EXPECT_EQ(r.status, Status::Failed);
    EXPECT_EQ(from("Could not move"), "Could not move /opt/audium/applications.work/ivr1 to "
                                      "/opt/audium/applications/ivr1 (Invalid cross-device "
                                      "link) (work to live)\n");
    EXPECT_EQ(site.exec("a", {"cat", WORK + "/ivr1/data/version"}).out, "v2\n");
    EXPECT_EQ(version(LIVE + "/ivr1"), "v1");
    EXPECT_EQ(version(OLD + "/ivr1"), "none");

    // With no previous version the restore fails too.
    ASSERT_EQ(site.exec("a", {"sh", "-c", "rm -rf " + LIVE + "/ivr1"}).status, 0);
    r = deploy_once(archives().v2);
    EXPECT_EQ(r.status, Status::Failed);
    EXPECT_EQ(from("Could not move"),
              "Could not move /opt/audium/applications.work/ivr1 to "
              "/opt/audium/applications/ivr1 (Invalid cross-device link) (work to live)\n"
              "Could not move /opt/audium/applications.old/ivr1 to "
              "/opt/audium/applications/ivr1.  Restore failed too (No such file or "
              "directory) (old to live)\n");
}

// A work tree on a small file system of its own: neither an archive that does not fit
// nor one that fits but unpacks to more than fits leaves anything behind.
TEST_F(DeploySite, FullWorkTreeLeavesNoPartialArchiveOrCopy) {
    ASSERT_EQ(deploy_once(archives().v1).status, Status::Ok);
    auto m = site.exec("a", {"mount", "-t", "tmpfs", "-o", "size=256k", "worktmp", WORK});
    if (m.status != 0)
        GTEST_SKIP() << "cannot mount in the site: " << m.err;
    start();
    EXPECT_EQ(deploy("ivr1", std::string(1 << 20, 'x')).status, Status::ShortWrite);
    finish();
    EXPECT_FALSE(site.exists("a", WORK + "/ivr1.jar"));
    EXPECT_EQ(trees(), "none v1 none");
    EXPECT_EQ(deploy_once(archives().bloated).status, Status::Failed);
    EXPECT_FALSE(site.exists("a", WORK + "/ivr1.jar"));
    EXPECT_EQ(trees(), "none v1 none");
}

TEST_F(DeploySite, SlowHangingStatusScriptTimesOutAndTheAgentGoesOn) {
    ASSERT_EQ(deploy_once(archives().v1).status, Status::Ok);
    mode("status hang 40\n");
    start();
    DeployReply r = deploy("ivr1", archives().v2);
    EXPECT_EQ(r.status, Status::Failed);
    // The request limit is armed again: the agent still serves.
    EXPECT_EQ(station::hello(agent), Status::Ok);
    EXPECT_EQ(undeploy("other"), Status::Ok);
    finish();
    EXPECT_EQ(from("Audium Shell: /opt/audium/applications/ivr1/admin/status.sh"),
              "Audium Shell: /opt/audium/applications/ivr1/admin/status.sh\n"
              "Timeout: No response from Audium\n"
              "Audium Shell: /opt/audium/applications/ivr1/admin/updateApp.sh\n"
              "From Audium: Application ivr1 updated.\n"
              "Application not loaded by Audium, putting back old program\n"
              "Received request to delete other audium app\n"
              "Audium Shell: /opt/audium/applications/other/admin/releaseApp.sh\n");
    EXPECT_EQ(trees(), "v2 v1 none");
}

} // namespace
