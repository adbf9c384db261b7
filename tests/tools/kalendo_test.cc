// kalendo under its seven names: the values, the texts byte for byte, the invocation
// names, and the pieces of date arithmetic on their own.
#include "command.h"
#include "dates.h"
#include "tools_support.h"

#include <cstdlib>
#include <ctime>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using testproc::Result;

Result k(const char *name, std::vector<std::string> args, const char *tz = "UTC") {
    args.insert(args.begin(), testproc::bin(name));
    testproc::Options opt;
    opt.env = {std::string("TZ=") + tz};
    opt.timeout_ms = 10000;
    return testproc::run(args, opt);
}

std::string usage_of(const std::string &c) {
    if (c == "kpast" || c == "kahead")
        return "\nUsage: " + c + " [+n] [-f format-string] [yyyymmdd] \n\n" +
               "   +n where n = number of days to return\n" +
               "                max = 45, min = 1\n" +
               "   -f specifies to use the following format-string\n" +
               "   yyyymmdd = the reference date\n\n" + "examples: " + c + "\n" + "          " + c +
               " 19971001\n" + "          " + c + " +7\n" + "          " + c + " +7 19971001\n" +
               "          " + c + " -f %Y-%m-%d\n\n";
    if (c == "kday")
        return "\nUsage: kday [-f format-string] \n\n"
               "   -f specifies to use the following format-string\n\n"
               "examples: kday\n"
               "          kday -f %Y-%m-%d\n\n";
    if (c == "kordinal" || c == "kweekday")
        return "\nUsage: " + c + " [-f format-string] [yyyymmdd] \n\n" +
               "   -f specifies to use the following format-string\n" +
               "   yyyymmdd = the reference date\n\n" + "examples: " + c + "\n" + "          " + c +
               " 19971001\n" + "          " + c + " -f %Y-%m-%d\n\n";
    if (c == "kstamp")
        return "\nUsage: kstamp [yyyymmdd [hhmmss]] \n\n"
               "   yyyymmdd = the reference date\n"
               "   hhmmss = the reference time\n\n"
               "examples: kstamp\n"
               "          kstamp 19971001\n"
               "          kstamp 19971001 081500\n\n";
    return "\nUsage: kunstamp [-f format-string] [unix-time] \n\n"
           "   -f specifies to use the following format-string\n"
           "   unix-time is the UNIX time stamp to convert\n\n"
           "examples: kunstamp\n"
           "          kunstamp 891752400\n"
           "          kunstamp -f %Y-%m-%d\n\n";
}

std::string invalid_name(const std::string &name) {
    return "The program file " + name +
           " is not a valid program name.\n"
           "This program must be named one of the following\n"
           "program names:  kpast     \n"
           "                kahead    \n"
           "                kday      \n"
           "                kordinal  \n"
           "                kweekday  \n"
           "                kstamp    \n"
           "                kunstamp  \n"
           "\n";
}

const char *const all_names[] = {"kpast",    "kahead", "kday",    "kordinal",
                                 "kweekday", "kstamp", "kunstamp"};

std::string utc_today(std::time_t t) {
    char buf[16];
    std::tm tm;
    gmtime_r(&t, &tm);
    std::strftime(buf, sizeof buf, "%Y%m%d", &tm);
    return buf;
}

} // namespace

TEST(KalendoValues, DatesBeforeAndAfter) {
    EXPECT_EQ(k("kpast", {"+3", "19971010"}).out, "19971007 19971008 19971009\n");
    EXPECT_EQ(k("kahead", {"+3", "19971010"}).out, "19971011 19971012 19971013\n");
    EXPECT_EQ(k("kpast", {"19971010"}).out, "19971009\n");
    EXPECT_EQ(k("kahead", {"19971231"}).out, "19980101\n");
    EXPECT_EQ(k("kahead", {"+2", "19960228"}).out, "19960229 19960301\n");
    // The last count and the last date win.
    EXPECT_EQ(k("kpast", {"+9", "19990101", "+2", "19971010"}).out, "19971008 19971009\n");
}

TEST(KalendoValues, SingleValueCommands) {
    EXPECT_EQ(k("kordinal", {"19971001"}).out, "274\n");
    EXPECT_EQ(k("kordinal", {"19961231"}).out, "366\n");
    EXPECT_EQ(k("kordinal", {"19970101"}).out, "001\n");
    EXPECT_EQ(k("kweekday", {"19971001"}).out, "3\n");
    EXPECT_EQ(k("kday", {"-f", "%Y-%m-%d", "19971001"}).out, "1997-10-01\n");
    EXPECT_EQ(k("kday", {"19970230"}).out, "19970302\n");
    EXPECT_EQ(k("kday", {"19971001", "19980405"}).out, "19980405\n");
}

TEST(KalendoValues, StampAndUnstamp) {
    EXPECT_EQ(k("kstamp", {"19971001", "081500"}).out, "875693700\n");
    EXPECT_EQ(k("kstamp", {"19971001"}).out, "875664000\n");
    EXPECT_EQ(k("kstamp", {"19971001", "+5"}).out, "875664000\n");
    // An option after the date is no time; it is scanned as an option.
    EXPECT_EQ(k("kstamp", {"19971001", "-f", "%d"}).out, "875664000\n");
    EXPECT_EQ(k("kunstamp", {"891752400"}).out, "Sun Apr 05 05:00:00 UTC 1998\n");
    EXPECT_EQ(k("kunstamp", {"-f", "%Y%m%d", "891752400"}).out, "19980405\n");
    EXPECT_EQ(k("kunstamp", {"0"}).out, "Thu Jan 01 00:00:00 UTC 1970\n");
    // Digits are not checked: atoi reads as far as it can.
    EXPECT_EQ(k("kunstamp", {"-f", "%s", "86400abc"}).out, "86400\n");
    EXPECT_EQ(k("kunstamp", {"-f", "%s", "x"}).out, "0\n");
}

TEST(KalendoValues, EpochBeyondThirtyTwoBits) {
    // Values past 2038 are carried whole instead of wrapping to 1901 or 1970.
    EXPECT_EQ(k("kstamp", {"20400101"}).out, "2208988800\n");
    EXPECT_EQ(k("kunstamp", {"-f", "%Y%m%d", "4294967296"}).out, "21060207\n");
    // A time no calendar can show is written as an empty value, not as garbage.
    EXPECT_EQ(k("kunstamp", {"99999999999999999999999"}).out, "\n");
}

TEST(KalendoValues, SummerTimeEndAndStartInChicago) {
    if (!toolstest::have_zone("America/Chicago"))
        GTEST_SKIP() << "no compiled time zone America/Chicago (package tzdata)";
    const char *tz = "America/Chicago";
    EXPECT_EQ(k("kahead", {"+3", "19971025"}, tz).out, "19971026 19971027 19971028\n");
    EXPECT_EQ(k("kpast", {"+3", "19971028"}, tz).out, "19971025 19971026 19971027\n");
    EXPECT_EQ(k("kahead", {"+3", "-f", "%Y%m%d %H:%M", "19971025"}, tz).out,
              "19971026 00:00 19971027 00:00 19971028 00:00\n");
    EXPECT_EQ(k("kpast", {"+3", "-f", "%Y%m%d %H:%M", "19971028"}, tz).out,
              "19971025 00:00 19971026 00:00 19971027 00:00\n");
    EXPECT_EQ(k("kahead", {"+3", "-f", "%Y%m%d %H:%M", "19980403"}, tz).out,
              "19980404 00:00 19980405 00:00 19980406 00:00\n");
    EXPECT_EQ(k("kpast", {"+3", "-f", "%Y%m%d %H:%M", "19980406"}, tz).out,
              "19980403 00:00 19980404 00:00 19980405 00:00\n");
}

TEST(KalendoValues, TodayWhenNoDateIsGiven) {
    std::time_t before = std::time(nullptr);
    Result r = k("kday", {"+5"});
    std::time_t after = std::time(nullptr);
    EXPECT_TRUE(r.out == utc_today(before) + "\n" || r.out == utc_today(after) + "\n") << r.out;

    r = k("kday", {"-v"});
    after = std::time(nullptr);
    std::string v = "kalendo: Dunmere Voice Version 1.2  1998-10-05\n";
    EXPECT_TRUE(r.out == v + utc_today(before) + "\n" || r.out == v + utc_today(after) + "\n")
        << r.out;
    EXPECT_EQ(r.status, 0);
}

TEST(KalendoValues, ValueTooLongForItsBuffer) {
    // 30 years of four digits make 120 characters, more than a value holds: the value
    // is written empty and the run goes on.
    std::string fmt;
    for (int i = 0; i < 30; i++)
        fmt += "%Y";
    Result r = k("kahead", {"+2", "-f", fmt, "19971001"});
    EXPECT_EQ(r.out, " \n");
    EXPECT_EQ(r.status, 0);
    // 99 characters still fit.
    std::string fits(99, 'x');
    EXPECT_EQ(k("kday", {"-f", fits}).out, fits + "\n");
    EXPECT_EQ(k("kday", {"-f", ""}).out, "\n");
}

TEST(KalendoTexts, UsageOfEveryCommand) {
    for (const char *name : all_names) {
        Result r = k(name, {"-x"});
        EXPECT_EQ(r.out, usage_of(name)) << name;
        EXPECT_EQ(r.err, "") << name;
        EXPECT_EQ(r.status, 0) << name;
        // "-" alone and any option letter but f and v.
        EXPECT_EQ(k(name, {"-"}).out, usage_of(name)) << name;
        EXPECT_EQ(k(name, {"-help"}).out, usage_of(name)) << name;
    }
    // Negative epoch values read as options.
    EXPECT_EQ(k("kunstamp", {"-100"}).out, usage_of("kunstamp"));
}

TEST(KalendoTexts, InvalidArguments) {
    for (const char *count : {"+46", "+0", "+x", "+-3", "+4294967297", "+99999999999999999999"}) {
        Result r = k("kahead", {count, "19971001"});
        EXPECT_EQ(r.out,
                  std::string("kahead: ") + count + " Invalid argument\n\n" + usage_of("kahead"));
        EXPECT_EQ(r.status, 0);
    }
    EXPECT_EQ(k("kahead", {"+45", "19971001"}).out.size(), 45u * 9);
    EXPECT_EQ(k("kpast", {"+ 2", "19971010"}).out, "19971008 19971009\n");
    // Counts mean nothing to the other commands.
    EXPECT_EQ(k("kordinal", {"+0", "19971001"}).out, "274\n");

    for (const char *name : all_names) {
        Result r = k(name, {"-f"});
        EXPECT_EQ(r.out, std::string(name) + ": missing format string Invalid argument\n\n" +
                             usage_of(name));
    }
    EXPECT_EQ(k("kday", {"1997101"}).out, "kday: 1997101 Invalid argument\n\n" + usage_of("kday"));
    EXPECT_EQ(k("kday", {""}).out, "kday:  Invalid argument\n\n" + usage_of("kday"));
    EXPECT_EQ(k("kstamp", {"19971001", "0815"}).out,
              "kstamp: 0815 Invalid argument\n\n" + usage_of("kstamp"));
    EXPECT_EQ(k("kstamp", {"19971001", ""}).out,
              "kstamp:  Invalid argument\n\n" + usage_of("kstamp"));
    // The scan stops at the first failure; only an earlier version line is written.
    EXPECT_EQ(k("kday", {"-v", "123", "-x"}).out,
              "kalendo: Dunmere Voice Version 1.2  1998-10-05\nkday: 123 Invalid argument\n\n" +
                  usage_of("kday"));
    EXPECT_EQ(k("kday", {"-x", "123"}).out, usage_of("kday"));
}

TEST(KalendoTexts, OptionLetterAloneCounts) {
    EXPECT_EQ(k("kday", {"-fx", "%d", "19971001"}).out, "01\n");
    EXPECT_EQ(k("kday", {"-verbose", "-f", "%m", "19971001"}).out,
              "kalendo: Dunmere Voice Version 1.2  1998-10-05\n10\n");
}

TEST(KalendoTexts, FormatTooLongIsRefused) {
    std::string big(100, 'x');
    Result r = k("kday", {"-f", big, "19971001"});
    EXPECT_EQ(r.out, "kday: " + big + " Invalid argument\n\n" + usage_of("kday"));
    EXPECT_EQ(r.status, 0);
    std::string huge(100000, '%');
    r = k("kunstamp", {"-f", huge});
    EXPECT_EQ(r.out, "kunstamp: " + huge + " Invalid argument\n\n" + usage_of("kunstamp"));
}

TEST(KalendoNames, PathsSelectByBaseName) {
    testproc::Options opt;
    opt.env = {"TZ=UTC"};
    for (const char *arg0 : {"/usr/local/bin/kday", "./kday", "kday", "a//kday"}) {
        opt.argv0 = arg0;
        Result r = testproc::run({testproc::bin("kalendo"), "19971001"}, opt);
        EXPECT_EQ(r.out, "19971001\n") << arg0;
    }
    opt.argv0 = "/usr/local/bin/kordinal";
    EXPECT_EQ(testproc::run({testproc::bin("kalendo"), "19971001"}, opt).out, "274\n");
}

TEST(KalendoNames, OtherNamesListTheValidOnes) {
    testproc::Options opt;
    for (auto [arg0, shown] : std::vector<std::pair<std::string, std::string>>{
             {"kalendo", "kalendo"},
             {"/usr/local/bin/KDAY", "KDAY"},
             {"kday2", "kday2"},
             {"/kday", "/kday"}, // a leading "/" is no separator
             {"kday/", ""},
             {"/", "/"}}) {
        opt.argv0 = arg0;
        Result r = testproc::run({testproc::bin("kalendo"), "19971001"}, opt);
        EXPECT_EQ(r.out, invalid_name(shown)) << arg0;
        EXPECT_EQ(r.status, 0);
    }
    Result r = testproc::run({testproc::bin("kalendo")});
    EXPECT_EQ(r.out, invalid_name("kalendo"));
}

TEST(KalendoNames, EmptyOrAbsentName) {
    std::string path = testproc::bin("kalendo");
    Result r = toolstest::run_raw(path, {""});
    EXPECT_EQ(r.out, invalid_name(""));
    EXPECT_EQ(r.status, 0);
    r = toolstest::run_raw(path, {});
    EXPECT_EQ(r.out, invalid_name(""));
    EXPECT_EQ(r.status, 0);
}

TEST(KalendoNames, LinksBesideTheProgram) {
    for (const char *name : all_names) {
        char target[64] = {};
        ASSERT_GT(readlink(testproc::bin(name).c_str(), target, sizeof target - 1), 0) << name;
        EXPECT_STREQ(target, "kalendo");
    }
}

// The pieces, in the test's own process.

TEST(KalendoUnits, BaseName) {
    EXPECT_STREQ(base_name("/usr/local/bin/kday"), "kday");
    EXPECT_STREQ(base_name("kday"), "kday");
    EXPECT_STREQ(base_name("/kday"), "/kday");
    EXPECT_STREQ(base_name("a/"), "");
    EXPECT_STREQ(base_name(""), "");
    EXPECT_STREQ(base_name(nullptr), "");
    EXPECT_EQ(command_number("kpast"), KPAST);
    EXPECT_EQ(command_number("kunstamp"), KUNSTAMP);
    EXPECT_EQ(command_number("kunstamp "), 0);
    EXPECT_EQ(command_number(""), 0);
}

TEST(KalendoUnits, DateAndTimeFields) {
    std::tm tm;
    ASSERT_EQ(parse_date("19970230", &tm), 0);
    EXPECT_EQ(tm.tm_year, 97);
    EXPECT_EQ(tm.tm_mon, 1);
    EXPECT_EQ(tm.tm_mday, 30);
    EXPECT_EQ(tm.tm_hour, 0);
    EXPECT_EQ(tm.tm_isdst, -1);
    ASSERT_EQ(parse_date("19a7x1z5", &tm), 0); // "19a7" reads 19, "x1" 0, "z5" 0
    EXPECT_EQ(tm.tm_year, 19 - 1900);
    EXPECT_EQ(tm.tm_mon, -1);
    EXPECT_EQ(tm.tm_mday, 0);
    tm.tm_year = 5;
    EXPECT_EQ(parse_date("1997100", &tm), -1);
    EXPECT_EQ(parse_date("199710011", &tm), -1);
    EXPECT_EQ(tm.tm_year, 5);
    ASSERT_EQ(parse_time("081530", &tm), 0);
    EXPECT_EQ(tm.tm_hour, 8);
    EXPECT_EQ(tm.tm_min, 15);
    EXPECT_EQ(tm.tm_sec, 30);
    EXPECT_EQ(parse_time("0815", &tm), -1);
    EXPECT_EQ(leading_number("  -12x"), -12);
    EXPECT_EQ(leading_number("99999999999999999999"), LLONG_MAX);
    EXPECT_EQ(leading_int("99999999999"), INT_MAX);
    EXPECT_EQ(leading_int("-99999999999"), INT_MIN);
}

TEST(KalendoUnits, DaylightSavingCorrection) {
    if (!toolstest::have_zone("America/Chicago"))
        GTEST_SKIP() << "no compiled time zone America/Chicago (package tzdata)";
    const char *old = getenv("TZ");
    std::string saved = old ? old : "";
    setenv("TZ", "America/Chicago", 1);
    tzset();
    std::time_t t = 877755600; // 1997-10-25 00:00 CDT
    int d0 = dst_flag(t);
    EXPECT_GT(d0, 0);
    t += 2 * 86400; // 1997-10-26 23:00 CST
    EXPECT_EQ(dst_correct(&t, d0), 1);
    EXPECT_EQ(t, 877932000); // 1997-10-27 00:00 CST
    d0 = dst_flag(t);
    EXPECT_EQ(d0, 0);
    t -= 2 * 86400; // back into summer time: 1997-10-25 01:00 CDT
    EXPECT_EQ(dst_correct(&t, d0), 1);
    EXPECT_EQ(t, 877755600);
    t += 86400;
    EXPECT_EQ(dst_correct(&t, dst_flag(t)), 0);
    char value[VALUE_SIZE];
    EXPECT_EQ(format_value(877932000, "%Y%m%d %H:%M %Z", value), 18u);
    EXPECT_STREQ(value, "19971027 00:00 CST");
    if (old)
        setenv("TZ", saved.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}
