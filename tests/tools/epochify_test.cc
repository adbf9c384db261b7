// epochify: field splitting, short years and mktime normalisation, in UTC.
#include "epochify.h"
#include "tools_support.h"

#include <climits>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using testproc::Result;

const std::string USAGE = "epochify MM/DD/YYYY HH:MM:SS\n";

Result e(std::vector<std::string> args, const char *tz = "UTC") {
    args.insert(args.begin(), testproc::bin("epochify"));
    testproc::Options opt;
    opt.env = {std::string("TZ=") + tz};
    opt.timeout_ms = 10000;
    return testproc::run(args, opt);
}

void expect_value(const std::vector<std::string> &args, const std::string &out) {
    Result r = e(args);
    EXPECT_EQ(r.out, out) << args[0] << " " << args[1];
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 0);
}

void expect_usage(const std::vector<std::string> &args) {
    Result r = e(args);
    EXPECT_EQ(r.out, USAGE) << args.size();
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.status, 1);
}

} // namespace

TEST(Epochify, DatesAndTimes) {
    expect_value({"10/01/1997", "08:15:00"}, "875693700\n");
    expect_value({"10/01/97", "08:15"}, "875693700\n");
    expect_value({"12/25/1997", "8:5:3"}, "883037103\n");
    expect_value({"01/01/1970", "00:00:00"}, "0\n");
}

TEST(Epochify, ShortYears) {
    expect_value({"01/01/29", "00:00"}, "1861920000\n");
    expect_value({"01/01/30", "00:00"}, "-1262304000\n");
    expect_value({"01/01/00", "00:00"}, "946684800\n");
    expect_value({"01/01/99", "00:00"}, "915148800\n");
    // Only a field of exactly two characters is short: 097 is the year 97.
    expect_value({"01/01/097", "00:00"}, "-59106067200\n");
}

TEST(Epochify, Normalisation) {
    expect_value({"13/01/1997", "00:00"}, "883612800\n");
    expect_value({"02/30/1997", "00:00"}, "857260800\n");
    expect_value({"01/01/1970", "00:00:-1"}, "-1\n");
    expect_value({"01/01/1970", "25:61:61"}, "93721\n");
}

TEST(Epochify, FieldSplitting) {
    expect_value({"12//25/1997", "00:00"}, "883008000\n");
    expect_value({"/12/25/1997/", "00:00"}, "883008000\n");
    expect_value({"12/25/1997/7", "00:00"}, "883008000\n");
    expect_value({"12/25/1997", "00:00:00:99"}, "883008000\n");
    expect_value({"12/25/1997", "::1::2:"}, "883011720\n");
    // atoi reads up to the first non-digit.
    expect_value({"1x/25y/1997z", " 1:2 "}, "854154120\n");
}

TEST(Epochify, UsageLine) {
    expect_usage({});
    expect_usage({"12/25/1997"});
    expect_usage({"12/25/1997", "00:00", "x"});
    expect_usage({"12/25", "00:00"});
    expect_usage({"", "00:00"});
    expect_usage({"//", "00:00"});
    // A time needs an hour and a minute.
    expect_usage({"12/25/1997", "0815"});
    expect_usage({"12/25/1997", "08:"});
    expect_usage({"12/25/1997", ""});
}

TEST(Epochify, OverlongArguments) {
    std::string date = "12/25/" + std::string(93, '0') + "1"; // 100 characters
    expect_usage({date, "00:00"});
    expect_usage({"12/25/1997", std::string(100000, '1') + ":00"});
    std::string fits = "12/25/" + std::string(89, '0') + "1997"; // 99 characters
    expect_value({fits, "00:00"}, "883008000\n");
}

TEST(Epochify, ValuesBeyondAnyCalendar) {
    // Fields are held at the bounds of int; a date past what struct tm can hold is -1.
    expect_value({"99999999999/01/99999999999", "00:00"}, "-1\n");
    expect_value({"-99999999999/01/-99999999999", "00:00"}, "-1\n");
}

TEST(EpochifyUnits, Split) {
    char text[] = "//a//bc/d/e";
    char *f[3];
    ASSERT_EQ(split_fields(text, '/', f, 3), 3);
    EXPECT_STREQ(f[0], "a");
    EXPECT_STREQ(f[1], "bc");
    EXPECT_STREQ(f[2], "d");
    char empty[] = "";
    EXPECT_EQ(split_fields(empty, '/', f, 3), 0);
    char seps[] = ":::";
    EXPECT_EQ(split_fields(seps, ':', f, 3), 0);
    char one[] = "8:";
    ASSERT_EQ(split_fields(one, ':', f, 3), 1);
    EXPECT_STREQ(f[0], "8");
}

TEST(EpochifyUnits, YearsAndValues) {
    EXPECT_EQ(full_year("29"), 2029);
    EXPECT_EQ(full_year("30"), 1930);
    EXPECT_EQ(full_year("-5"), 1995);
    EXPECT_EQ(full_year("5"), 5);
    EXPECT_EQ(full_year("1997"), 1997);
    EXPECT_EQ(field_value("99999999999"), INT_MAX);
    EXPECT_EQ(field_value("-99999999999"), INT_MIN);
    EXPECT_EQ(field_value(" +7z"), 7);
    EXPECT_EQ(field_value(""), 0);
}
