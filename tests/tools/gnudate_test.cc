// The date utilities against GNU date on the same inputs and time zones, around the
// changes between standard and summer time where stepping by 86400 seconds goes wrong.
#include "tools_support.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using testproc::Result;

Result run_tz(const std::string &path, std::vector<std::string> args, const char *tz,
              const std::string &input = "") {
    args.insert(args.begin(), path);
    testproc::Options opt;
    opt.env = {std::string("TZ=") + tz, "LC_ALL=C"};
    opt.input = input;
    opt.timeout_ms = 10000;
    return testproc::run(args, opt);
}

class VersusDate : public ::testing::TestWithParam<const char *> {
  protected:
    std::string date;
    void SetUp() override {
        date = toolstest::gnu_date();
        if (date.empty())
            GTEST_SKIP() << "GNU date is not installed";
        if (std::string(GetParam()) != "UTC" && !toolstest::have_zone(GetParam()))
            GTEST_SKIP() << "no compiled time zone " << GetParam() << " (package tzdata)";
    }

    // GNU date's answers for the lines of input, one per line, joined by blanks.
    std::string date_line(const std::string &input, const char *format) {
        Result r = run_tz(date, {"-f", "-", std::string("+") + format}, GetParam(), input);
        EXPECT_EQ(r.status, 0) << r.err;
        std::string s = r.out;
        for (size_t i = 0; i + 1 < s.size(); i++)
            if (s[i] == '\n')
                s[i] = ' ';
        return s;
    }

    Result k(const char *name, std::vector<std::string> args) {
        return run_tz(testproc::bin(name), std::move(args), GetParam());
    }
};

// Reference dates on both sides of the changes of 1997 and 1998 in the United States.
const char *const references[] = {"19970301", "19970405", "19970407", "19971024",
                                  "19971026", "19971027", "19971201", "19980404"};

} // namespace

TEST_P(VersusDate, DaysAheadAndPast) {
    const char *fmt = "%Y%m%d %H:%M";
    for (const char *ref : references) {
        std::string ahead, past;
        for (int d = 1; d <= 45; d++)
            ahead += std::string(ref) + " + " + std::to_string(d) + " days\n";
        for (int d = 45; d >= 1; d--)
            past += std::string(ref) + " - " + std::to_string(d) + " days\n";
        EXPECT_EQ(k("kahead", {"+45", ref}).out, date_line(ahead, "%Y%m%d")) << ref;
        EXPECT_EQ(k("kahead", {"+45", "-f", fmt, ref}).out, date_line(ahead, fmt)) << ref;
        EXPECT_EQ(k("kpast", {"+45", ref}).out, date_line(past, "%Y%m%d")) << ref;
        EXPECT_EQ(k("kpast", {"+45", "-f", fmt, ref}).out, date_line(past, fmt)) << ref;
    }
}

TEST_P(VersusDate, OrdinalAndWeekday) {
    for (const char *ref : {"19960229", "19961231", "19970101", "19971001", "19971026", "20000229",
                            "20001231", "20380119", "20380120"}) {
        std::string in = std::string(ref) + "\n";
        EXPECT_EQ(k("kordinal", {ref}).out, date_line(in, "%j")) << ref;
        EXPECT_EQ(k("kweekday", {ref}).out, date_line(in, "%w")) << ref;
        EXPECT_EQ(k("kday", {"-f", "%A %d %B %Y %Z", ref}).out, date_line(in, "%A %d %B %Y %Z"))
            << ref;
        EXPECT_EQ(k("kstamp", {ref}).out, date_line(in, "%s")) << ref;
    }
}

TEST_P(VersusDate, StampWithTime) {
    // 01:30 on 26 October 1997 happened twice in Chicago; the library and date may pick
    // different ones, so the times here are unambiguous.
    for (auto [d, t] : std::vector<std::pair<const char *, const char *>>{{"19971001", "081500"},
                                                                          {"19971025", "235959"},
                                                                          {"19971026", "030000"},
                                                                          {"19971026", "000000"},
                                                                          {"19980405", "040000"},
                                                                          {"19980404", "120000"}}) {
        std::string in = std::string(d) + " " + std::string(t).substr(0, 2) + ":" +
                         std::string(t).substr(2, 2) + ":" + std::string(t).substr(4, 2) + "\n";
        EXPECT_EQ(k("kstamp", {d, t}).out, date_line(in, "%s")) << d << " " << t;
    }
}

TEST_P(VersusDate, Unstamp) {
    // Every hour through the night summer time ended in 1997, and some far values.
    std::vector<long long> values = {0, 891752400, 2147483647, 4102444800};
    for (long long t = 877842000 - 4 * 3600; t <= 877842000 + 4 * 3600; t += 1800)
        values.push_back(t);
    for (long long t : values) {
        std::string in = std::to_string(t);
        in.insert(0, 1, '@');
        in += '\n';
        EXPECT_EQ(k("kunstamp", {std::to_string(t)}).out, date_line(in, "%a %b %d %H:%M:%S %Z %Y"))
            << t;
    }
}

TEST_P(VersusDate, Epochify) {
    for (auto [d, t, same] : std::vector<std::tuple<const char *, const char *, const char *>>{
             {"10/01/1997", "08:15:00", "1997-10-01 08:15:00"},
             {"10/01/97", "08:15", "1997-10-01 08:15:00"},
             {"10/25/1997", "23:59:59", "1997-10-25 23:59:59"},
             {"10/26/1997", "03:00", "1997-10-26 03:00:00"},
             {"04/05/98", "03:00", "1998-04-05 03:00:00"},
             {"12/25/1997", "8:5:3", "1997-12-25 08:05:03"},
             {"01/01/29", "00:00", "2029-01-01 00:00:00"},
             {"01/01/30", "00:00", "1930-01-01 00:00:00"},
             {"13/01/1997", "00:00", "1998-01-01 00:00:00"}}) {
        EXPECT_EQ(run_tz(testproc::bin("epochify"), {d, t}, GetParam()).out,
                  date_line(std::string(same) + "\n", "%s"))
            << d << " " << t;
    }
}

INSTANTIATE_TEST_SUITE_P(Zones, VersusDate,
                         ::testing::Values("UTC", "America/Chicago", "Europe/London",
                                           "Australia/Sydney"),
                         [](const auto &info) {
                             std::string s = info.param;
                             for (char &c : s)
                                 if (c == '/')
                                     c = '_';
                             return s;
                         });
