// The pieces of a deployment, in this process against temporary directories: the
// checks of names and path lengths, the copy of the admin scripts, and unpacking with
// the real jar tool of the machine's JDK.
#include "deploy.h"
#include "deploy_paths.h"
#include "files.h"
#include "proc.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

using testfiles::capture_stderr;
using testfiles::read_file;
using testfiles::write_file;

// The home of the machine's jar tool, "" when there is none.
std::string java_home() {
    char real[PATH_MAX];
    if (realpath("/usr/bin/jar", real) == nullptr)
        return "";
    return fs::path(real).parent_path().parent_path().string();
}

class Temp : public ::testing::Test {
  protected:
    fs::path dir;
    void SetUp() override {
        char tmpl[] = "/tmp/deploy_test.XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
    }
    void TearDown() override { fs::remove_all(dir); }
};

TEST(ApplName, NamesThatReachOutsideTheirCopyAreRefused) {
    EXPECT_FALSE(valid_appl_name(""));
    EXPECT_FALSE(valid_appl_name("."));
    EXPECT_FALSE(valid_appl_name(".."));
    EXPECT_FALSE(valid_appl_name("a/b"));
    EXPECT_FALSE(valid_appl_name("/ivr1"));
    EXPECT_FALSE(valid_appl_name("ivr1/"));
    EXPECT_TRUE(valid_appl_name("ivr1"));
    EXPECT_TRUE(valid_appl_name("..."));
    EXPECT_TRUE(valid_appl_name(".ivr"));
    EXPECT_TRUE(valid_appl_name("a..b"));
}

TEST(DeployPaths, AreFormedFromHomeAndName) {
    AudiumPaths p{};
    ASSERT_TRUE(acceptable_deployment("ivr1", "/opt/audium", p));
    EXPECT_STREQ(p.work_tree.data(), "/opt/audium/applications.work");
    EXPECT_STREQ(p.live_tree.data(), "/opt/audium/applications");
    EXPECT_STREQ(p.old_tree.data(), "/opt/audium/applications.old");
    EXPECT_STREQ(p.work_copy.data(), "/opt/audium/applications.work/ivr1");
    EXPECT_STREQ(p.live_copy.data(), "/opt/audium/applications/ivr1");
    EXPECT_STREQ(p.old_copy.data(), "/opt/audium/applications.old/ivr1");
    EXPECT_STREQ(p.archive.data(), "/opt/audium/applications.work/ivr1.jar");
    EXPECT_STREQ(p.log_dir.data(), "/zav/log/audium/ivr1");
    EXPECT_STREQ(p.log_probe.data(), "/zav/log/audium/ivr1/junkfile");
    EXPECT_STREQ(p.log_link.data(), "/opt/audium/applications.work/ivr1/logs");
    EXPECT_STREQ(p.admin_dir.data(), "/opt/audium/applications.work/ivr1/admin");
    EXPECT_STREQ(p.admin_probe.data(), "/opt/audium/applications.work/ivr1/admin/junkfile");
    EXPECT_STREQ(p.master_admin.data(), "/opt/audium/admin/appScripts");
}

TEST(DeployPaths, DeploymentNeedsHomeAndNameWithin109AndHomeWithin78) {
    AudiumPaths p{};
    std::string home78 = "/" + std::string(77, 'h');
    EXPECT_TRUE(acceptable_deployment(std::string(31, 'a').c_str(), home78.c_str(), p));
    EXPECT_EQ(std::string(p.admin_probe.data()).size(), 143u);
    EXPECT_EQ(std::string(p.master_admin.data()).size(), 95u);
    EXPECT_FALSE(acceptable_deployment(std::string(32, 'a').c_str(), home78.c_str(), p));
    std::string home79 = "/" + std::string(78, 'h');
    EXPECT_FALSE(acceptable_deployment("a", home79.c_str(), p));
    // The longest name the wire carries, with a short home.
    std::string home14 = "/" + std::string(13, 'h');
    EXPECT_TRUE(acceptable_deployment(std::string(95, 'a').c_str(), home14.c_str(), p));
    std::string home15 = "/" + std::string(14, 'h');
    EXPECT_FALSE(acceptable_deployment(std::string(95, 'a').c_str(), home15.c_str(), p));
}

TEST(DeployPaths, RemovalNeedsHomeAndNameWithin125) {
    AudiumPaths p{};
    std::string home = "/" + std::string(99, 'h');
    EXPECT_TRUE(acceptable_removal(std::string(25, 'a').c_str(), home.c_str(), p));
    EXPECT_EQ(std::string(p.old_copy.data()).size(), 143u);
    EXPECT_FALSE(acceptable_removal(std::string(26, 'a').c_str(), home.c_str(), p));
    EXPECT_FALSE(acceptable_removal("..", "/opt/audium", p));
}

TEST(DeployPaths, JavaHomeTooLongForTheJarPathIsRefusedUnsetIsLeftForLater) {
    const char *old = std::getenv("JAVA_HOME");
    std::string saved = old ? old : "";
    AudiumPaths p{};
    setenv("JAVA_HOME", ("/" + std::string(135, 'j')).c_str(), 1);
    EXPECT_FALSE(acceptable_deployment("ivr1", "/opt/audium", p));
    EXPECT_TRUE(acceptable_removal("ivr1", "/opt/audium", p));
    setenv("JAVA_HOME", ("/" + std::string(134, 'j')).c_str(), 1);
    EXPECT_TRUE(acceptable_deployment("ivr1", "/opt/audium", p));
    unsetenv("JAVA_HOME");
    EXPECT_TRUE(acceptable_deployment("ivr1", "/opt/audium", p));
    if (old)
        setenv("JAVA_HOME", saved.c_str(), 1);
}

using CopyScripts = Temp;

TEST_F(CopyScripts, OnlyShellScriptsAreCopiedWithMode0777) {
    fs::path src = dir / "master", dst = dir / "admin";
    std::string big(1500, 'x'); // several blocks
    write_file(src / "status.sh", "#!/bin/sh\necho hi\n" + big);
    write_file(src / "x.sh", "");
    write_file(src / "a.sh.bak", "no");
    write_file(src / "README", "no");
    write_file(src / ".sh", "no");
    chmod((src / "status.sh").c_str(), 0644);
    fs::create_directories(dst);
    EXPECT_EQ(copySHfiles(src.c_str(), dst.c_str()), 0);
    EXPECT_EQ(read_file(dst / "status.sh"), read_file(src / "status.sh"));
    EXPECT_TRUE(fs::exists(dst / "x.sh"));
    EXPECT_FALSE(fs::exists(dst / "a.sh.bak"));
    EXPECT_FALSE(fs::exists(dst / "README"));
    EXPECT_FALSE(fs::exists(dst / ".sh"));
    struct stat st;
    ASSERT_EQ(stat((dst / "status.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
    ASSERT_EQ(stat((dst / "x.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0777u);
}

TEST_F(CopyScripts, ExistingScriptsAreReplaced) {
    fs::path src = dir / "master", dst = dir / "admin";
    write_file(src / "status.sh", "new\n");
    write_file(dst / "status.sh", "old and longer\n");
    EXPECT_EQ(copySHfiles(src.c_str(), dst.c_str()), 0);
    EXPECT_EQ(read_file(dst / "status.sh"), "new\n");
}

TEST_F(CopyScripts, MissingSourceOrDestinationFails) {
    fs::path src = dir / "master";
    std::string log =
        capture_stderr([&] { EXPECT_EQ(copySHfiles((dir / "none").c_str(), dir.c_str()), 2); });
    EXPECT_NE(log.find("Can't open directory " + (dir / "none").string() +
                       " (No such file or directory)"),
              std::string::npos)
        << log;
    write_file(src / "status.sh", "x\n");
    log = capture_stderr([&] { EXPECT_EQ(copySHfiles(src.c_str(), (dir / "none").c_str()), 2); });
    EXPECT_NE(log.find("Can't open file " + (dir / "none" / "status.sh").string() +
                       " for writing (No such file or directory)"),
              std::string::npos)
        << log;
}

TEST_F(CopyScripts, DirectoryInTheWayOfAScriptFails) {
    fs::path src = dir / "master", dst = dir / "admin";
    write_file(src / "status.sh", "x\n");
    fs::create_directories(dst / "status.sh");
    std::string log = capture_stderr([&] { EXPECT_EQ(copySHfiles(src.c_str(), dst.c_str()), 2); });
    EXPECT_NE(log.find("for writing (Is a directory)"), std::string::npos) << log;
}

class Unjar : public Temp {
  protected:
    std::string java, saved_java;
    bool had_java = false;
    fs::path cwd;
    void SetUp() override {
        Temp::SetUp();
        java = java_home();
        if (java.empty())
            GTEST_SKIP() << "no jar tool on this machine";
        const char *j = std::getenv("JAVA_HOME");
        had_java = j != nullptr;
        saved_java = j ? j : "";
        setenv("JAVA_HOME", java.c_str(), 1);
        cwd = fs::current_path();
        fs::create_directories(dir / "work");
        fs::current_path(dir / "work");
    }
    void TearDown() override {
        if (!cwd.empty())
            fs::current_path(cwd);
        if (had_java)
            setenv("JAVA_HOME", saved_java.c_str(), 1);
        else
            unsetenv("JAVA_HOME");
        Temp::TearDown();
    }
    // Builds an archive of the tree under dir/src.
    fs::path archive() {
        fs::path jarf = dir / "app.jar";
        testproc::Options opt;
        opt.timeout_ms = 60000;
        auto r = testproc::run(
            {java + "/bin/jar", "cf", jarf.string(), "-C", (dir / "src").string(), "."}, opt);
        EXPECT_EQ(r.status, 0) << r.err;
        return jarf;
    }
};

TEST_F(Unjar, OnlyDataAndJavaOfTheApplicationAreUnpacked) {
    write_file(dir / "src/ivr1/data/prompts/hello.txt", "hello\n");
    write_file(dir / "src/ivr1/java/classes/A.class", "cafe");
    write_file(dir / "src/ivr1/other/skip.txt", "no");
    write_file(dir / "src/ivr2/data/skip.txt", "no");
    fs::path jarf = archive();
    EXPECT_EQ(unjar(jarf.c_str(), "ivr1"), 0);
    EXPECT_EQ(read_file(dir / "work/ivr1/data/prompts/hello.txt"), "hello\n");
    EXPECT_EQ(read_file(dir / "work/ivr1/java/classes/A.class"), "cafe");
    EXPECT_FALSE(fs::exists(dir / "work/ivr1/other"));
    EXPECT_FALSE(fs::exists(dir / "work/ivr2"));
}

TEST_F(Unjar, NoJavaHome) {
    unsetenv("JAVA_HOME");
    EXPECT_EQ(unjar((dir / "app.jar").c_str(), "ivr1"), 20);
}

TEST_F(Unjar, JarExitingWithOneShowsTheStatusWord) {
    // A jar tool that cannot be executed: the child ends with status 1.
    setenv("JAVA_HOME", (dir / "nojava").c_str(), 1);
    std::string log =
        capture_stderr([&] { EXPECT_EQ(unjar((dir / "app.jar").c_str(), "ivr1"), 2); });
    EXPECT_NE(log.find("Jar command failed. Jar returned 256."), std::string::npos) << log;
}

TEST_F(Unjar, DamagedArchiveFails) {
    write_file(dir / "bad.jar", "this is not an archive");
    std::string log =
        capture_stderr([&] { EXPECT_EQ(unjar((dir / "bad.jar").c_str(), "ivr1"), 2); });
    EXPECT_NE(log.find("Jar command failed. Jar returned "), std::string::npos) << log;
}

} // namespace
