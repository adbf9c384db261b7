// The station through ssh: choosing it, its command, and ssh's complaints told as one
// line of ours.
#include "args.h"
#include "options.h"
#include "transport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

int parse(std::vector<std::string> args, Options &o, std::string *err) {
    std::vector<char *> argv = testargs::argv_of("tarko_station", args);
    char buf[512];
    int rc =
        parse_options(static_cast<int>(argv.size() - 1), argv.data(), nullptr, o, buf, sizeof buf);
    *err = buf;
    return rc;
}

TEST(StationSsh, ChosenByOptionOrEnvironment) {
    setenv("HOME", ::testing::TempDir().c_str(), 1);
    unsetenv("XDG_RUNTIME_DIR");
    std::string err;
    static Options a, b, c, d;
    ASSERT_EQ(parse({"--ssh", "-t", "7", "-H", "h", "sum", "/d", "f"}, a, &err), 0) << err;
    std::string cmd = a.agent;
    EXPECT_EQ(cmd.rfind("ssh -o BatchMode=yes -T -o ControlMaster=auto -o ControlPath=", 0), 0u);
    EXPECT_NE(cmd.find("/.cache/tarko/ssh/{hostkey} -o ControlPersist=60 -o ConnectTimeout=7 "),
              std::string::npos)
        << cmd;
    EXPECT_NE(cmd.find(" {host} /usr/local/bin/tarko_remote2"), std::string::npos) << cmd;

    setenv("TARKO_TRANSPORT", "ssh", 1);
    EXPECT_EQ(parse({"-H", "h", "sum", "/d", "f"}, b, &err), 0) << err;
    EXPECT_TRUE(b.ssh);
    // An agent command given on the command line wins over the environment.
    EXPECT_EQ(parse({"--agent", "x {host}", "-H", "h", "sum", "/d", "f"}, c, &err), 0) << err;
    EXPECT_FALSE(c.ssh);
    EXPECT_EQ(parse({"--ssh", "--agent", "x", "sum", "/d", "f"}, d, &err), 64);
    setenv("TARKO_TRANSPORT", "telnet", 1);
    EXPECT_EQ(parse({"-H", "h", "sum", "/d", "f"}, d, &err), 64);
    EXPECT_EQ(err, "TARKO_TRANSPORT is \"telnet\"; it may be ssh or rsh");
    unsetenv("TARKO_TRANSPORT");
}

TEST(StationSsh, ComplaintsBecomeOneLine) {
    struct Case {
        const char *line, *starts;
    } cases[] = {
        {"Host key verification failed.", "ssh does not know the host's key"},
        {"root@c: Permission denied (publickey).", "the host refused our ssh key"},
        {"ssh: connect to host c port 22: No route to host", "the host cannot be reached"},
        {"ssh: Could not resolve hostname x: Name or service not known", "no such host name"},
        {"mux_client_request_session: read from master failed: Broken pipe",
         "the shared ssh connection to the host broke"},
        {"kex_exchange_identification: something new", "ssh failed"},
    };
    for (auto &c : cases) {
        char msg[256];
        ssh_classify(c.line, msg, sizeof msg);
        std::string m = msg;
        EXPECT_EQ(m.rfind(c.starts, 0), 0u) << m;
        EXPECT_NE(m.find(c.line), std::string::npos) << m;
    }
}

} // namespace
