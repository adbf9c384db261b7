// Host expressions: ranges with their padding, groups and files, exclusion, faults with
// their positions, and folding a list back into an expression that expands to it.
#include "files.h"
#include "hostset.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

class HostSets : public ::testing::Test {
  protected:
    std::string dir;
    HostSources src;
    std::string hosts_file, failed_file;
    HostFault fault;

    void SetUp() override {
        char tmpl[] = "/tmp/hostset_XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        hosts_file = dir + "/hosts";
        failed_file = dir + "/failed";
        testfiles::write_file(hosts_file, "# the site\n"
                                          "web: ivr[01-03] # front\n"
                                          "db:  store1, store2\n"
                                          "all: @web @db edge\n"
                                          "web: ivr07\n"
                                          "loop: @knot\n"
                                          "knot: a @loop\n");
        src.hosts_file = hosts_file.c_str();
        src.failed_file = failed_file.c_str();
    }
    void TearDown() override { ASSERT_EQ(system(("rm -rf '" + dir + "'").c_str()), 0); }

    // The expansion of expr as one string of names separated by blanks; on a fault
    // "!COLUMN REASON".
    std::string expand(const std::string &expr, const std::string &minus = "") {
        HostSet set;
        if (hostset_add(set, expr.c_str(), "-H", src, fault) != 0)
            return "!" + std::to_string(fault.column) + " " + fault.reason;
        if (!minus.empty() && hostset_remove(set, minus.c_str(), "-x", src, fault) != 0)
            return "!" + std::to_string(fault.column) + " " + fault.reason;
        std::string s;
        for (std::size_t i = 0; i < set.names.size(); i++) {
            if (i > 0)
                s += ' ';
            s += set.names[i];
        }
        return s;
    }
    static std::string fold(const std::vector<std::string> &names) {
        std::vector<const char *> p;
        for (auto &n : names)
            p.push_back(n.c_str());
        char buf[512];
        std::size_t len = hostset_fold(p.data(), p.size(), buf, sizeof buf);
        EXPECT_EQ(len, std::string(buf).size());
        return buf;
    }
};

TEST_F(HostSets, RangesListsAndPadding) {
    EXPECT_EQ(expand("a,b c"), "a b c");
    EXPECT_EQ(expand("ivr[01-03]"), "ivr01 ivr02 ivr03");
    EXPECT_EQ(expand("ivr[1-3,7]"), "ivr1 ivr2 ivr3 ivr7");
    EXPECT_EQ(expand("ivr[8-11]"), "ivr8 ivr9 ivr10 ivr11");
    EXPECT_EQ(expand("ivr[08-10,007]x"), "ivr08x ivr09x ivr10x ivr007x");
    EXPECT_EQ(expand("r[1-2]-n[1-2]"), "r1-n1 r1-n2 r2-n1 r2-n2");
    // Duplicates go; the first place is kept.
    EXPECT_EQ(expand("b,a[1-2],b,a1"), "b a1 a2");
    EXPECT_EQ(expand("ivr[01-05]", "ivr[02-03],nothere"), "ivr01 ivr04 ivr05");
}

TEST_F(HostSets, GroupsFilesAndFailed) {
    // A group gathers all its lines and may name groups.
    EXPECT_EQ(expand("@web"), "ivr01 ivr02 ivr03 ivr07");
    EXPECT_EQ(expand("@all", "@db"), "ivr01 ivr02 ivr03 ivr07 edge");
    testfiles::write_file(dir + "/list", "x1\n# none\n\n  @db \ny[1-2]\n");
    EXPECT_EQ(expand("^" + dir + "/list"), "x1 store1 store2 y1 y2");
    testfiles::write_file(failed_file, "ivr02\nivr07\n");
    EXPECT_EQ(expand("@failed"), "ivr02 ivr07");
    EXPECT_EQ(expand("@web", "@failed"), "ivr01 ivr03");

    EXPECT_EQ(expand("a,@nosuch"), "!3 unknown group nosuch (not in " + hosts_file + ")");
    EXPECT_EQ(expand("@loop"), "!9 the group loop names itself");
    EXPECT_EQ(fault.where, hosts_file + ":7");
    EXPECT_EQ(std::string(fault.text), "knot: a @loop");
    EXPECT_NE(expand("^" + dir + "/none").find("cannot read"), std::string::npos);
    unlink(failed_file.c_str());
    EXPECT_NE(expand("@failed").find("no record of failed hosts"), std::string::npos);
    // A broken line of the host file is shown where it stands.
    testfiles::write_file(hosts_file, "web: a\nthis line has no colon\n");
    EXPECT_EQ(expand("@web"), "!1 a line of the host file reads \"group: hosts...\"");
    EXPECT_EQ(fault.where, hosts_file + ":2");
}

TEST_F(HostSets, MalformedExpressionsAreRefusedWithThePosition) {
    EXPECT_EQ(expand("a,,b"), "!3 empty host name");
    EXPECT_EQ(expand("a,"), "!2 empty host name after \",\"");
    EXPECT_EQ(expand("ivr[1-3"), "!4 \"[\" is not closed");
    EXPECT_EQ(expand("ivr1-3]"), "!7 \"]\" without \"[\"");
    EXPECT_EQ(expand("ivr[1-[2]]"), "!7 brackets do not nest");
    EXPECT_EQ(expand("ivr[5-3]"), "!5 the range 5-3 runs backwards");
    EXPECT_EQ(expand("ivr[a-3]"), "!5 a range wants a number here");
    EXPECT_EQ(expand("ivr[1-3;4]"), "!8 a range wants \",\", \"-\" or \"]\" here");
    EXPECT_EQ(expand("good,b$d"), "!7 '$' cannot stand in a host name");
    EXPECT_EQ(expand(std::string(64, 'h')), "!1 a host name is longer than 63 bytes");
    EXPECT_EQ(expand("  "), "!1 no host named");
    char line[600];
    expand("x,ivr[1-");
    hostfault_format(fault, line, sizeof line);
    EXPECT_STREQ(line, "-H: \"x,ivr[1-\": position 6: \"[\" is not closed");
}

TEST_F(HostSets, FoldingAndExpandingGoRoundTrip) {
    EXPECT_EQ(fold({}), "");
    EXPECT_EQ(fold({"a"}), "a");
    EXPECT_EQ(fold({"ivr01", "ivr02", "ivr03", "ivr05"}), "ivr[01-03,05]");
    EXPECT_EQ(fold({"ivr9", "ivr10", "ivr11"}), "ivr[9-11]");
    EXPECT_EQ(fold({"ivr08", "ivr09", "ivr10", "ivr12"}), "ivr[08-10,12]");
    EXPECT_EQ(fold({"b", "ivr2", "ivr1", "a", "ivr1", "db3x"}), "b,ivr[1-2],a,db3x");
    EXPECT_EQ(fold({"ivr007", "ivr7", "ivr008"}), "ivr[007-008],ivr7");
    for (const char *expr : {"ivr[01-37,40]", "ivr[1-3,7],edge", "n[1-2]-r[01-12]",
                             "a[0-12],a[000-003],b", "x[98-102]"}) {
        std::string names = expand(expr);
        std::vector<std::string> list;
        for (std::size_t p = 0; p < names.size();) {
            std::size_t e = names.find(' ', p);
            e = e == std::string::npos ? names.size() : e;
            list.push_back(names.substr(p, e - p));
            p = e + 1;
        }
        std::string folded = fold(list);
        EXPECT_EQ(expand(folded), names) << expr << " folded to " << folded;
    }
    EXPECT_EQ(fold({"ivr01", "ivr02"}), "ivr[01-02]");
    char small[6];
    const char *two[] = {"ivr01", "ivr02"};
    EXPECT_EQ(hostset_fold(two, 2, small, sizeof small), 10u);
    EXPECT_STREQ(small, "ivr[0");
}

} // namespace
