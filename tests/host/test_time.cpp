// Time strings, calendar fields and year-days.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "rzvtest.h"
#include "stock.h"

namespace {

const double T2024 = 1704067200.0;  // 2024-01-01 00:00:00 UTC

TEST(TimeStrings, EveryAcceptedForm) {
    struct Case {
        const char *s;
        double t;
    } cases[] = {
        {"1704067200", T2024},
        {"1704067200.25", T2024 + 0.25},
        {"-12.5", -12.5},
        {"2024-01-01", T2024},
        {"2024-01-01 00:00:00", T2024},
        {"2024-03-01 12:34:56.789", T2024 + 60 * 86400.0 + 45296.789},
        {"2024-03-01T12:34:56.789Z", T2024 + 60 * 86400.0 + 45296.789},
        {"2024-03-01T12:34", T2024 + 60 * 86400.0 + 45240},
        {"2024/03/01 12:34:56", T2024 + 60 * 86400.0 + 45296},
        {"2024061 12:34:56.789", T2024 + 60 * 86400.0 + 45296.789},
        {"2024061", T2024 + 60 * 86400.0},
        {"  2024-12-31 23:59:59.999  ", T2024 + 365 * 86400.0 + 86399.999},
        {"1969-12-31 23:59:59", -1},
        {"2000-02-29", 951782400.0},
    };
    for (auto &c : cases) {
        double t = 0;
        ASSERT_EQ(str2epoch_r(c.s, &t), 0) << c.s << rzvtest::all_messages();
        EXPECT_NEAR(t, c.t, 1e-6) << c.s;
        EXPECT_NEAR(str2epoch(c.s), c.t, 1e-6) << c.s;
    }
    EXPECT_NEAR(str2epoch("now"), std_now(), 5.0);
}

TEST(TimeStrings, SevenDigitsWithNoDayOfTheYearAreSeconds) {
    double t = 0;
    ASSERT_EQ(str2epoch_r("1000000", &t), 0) << rzvtest::all_messages();
    EXPECT_EQ(t, 1000000.0);
    ASSERT_EQ(str2epoch_r("2024400", &t), 0);
    EXPECT_EQ(t, 2024400.0);
    ASSERT_EQ(str2epoch_r("2024366", &t), 0);
    EXPECT_EQ(t, T2024 + 365 * 86400.0);
}

TEST(TimeStrings, ZonesOnlyWithTheZoneForm) {
    EXPECT_NEAR(zstr2epoch("2024-01-01 00:00:00 UTC"), T2024, 1e-9);
    EXPECT_NEAR(zstr2epoch("2024-01-01 00:00:00 GMT"), T2024, 1e-9);
    EXPECT_NEAR(zstr2epoch("2024-01-01"), T2024, 1e-9);
    EXPECT_EQ(str2epoch("2024-01-01 00:00:00 UTC"), TIME_NULL);
}

TEST(TimeStrings, GarbageFailsWithAMessage) {
    const char *bad[] = {"", "   ", "yesterday", "2024-13-01", "2023-02-29", "2024-01-01 24:00:00",
                         "2024-01-01 12:60", "2024366x", "2023366", "0x10", "1e400", "2024-01-01 1:00",
                         "2024-01-01 12:00:00 PST", "nan", "12:00:00", "2024-1-1"};
    for (const char *s : bad) {
        elog_clear_register(0);
        double t = 42;
        EXPECT_EQ(str2epoch_r(s, &t), -1) << "'" << s << "' gave " << t;
        EXPECT_EQ(t, 42);
        EXPECT_TRUE(rzvtest::has_message("str2epoch: cannot read time")) << s;
    }
    EXPECT_EQ(str2epoch(nullptr), TIME_NULL);
}

TEST(Calendar, FieldsYeardaysAndPrinting) {
    int y, d, h, m;
    double s;
    e2h(T2024 + 59 * 86400.0 + 3723.5, &y, &d, &h, &m, &s);  // 2024-02-29 01:02:03.5
    EXPECT_EQ(y, 2024);
    EXPECT_EQ(d, 60);
    EXPECT_EQ(h, 1);
    EXPECT_EQ(m, 2);
    EXPECT_NEAR(s, 3.5, 1e-9);
    EXPECT_DOUBLE_EQ(h2e(2024, 60, 1, 2, 3.5), T2024 + 59 * 86400.0 + 3723.5);
    e2h(-0.5, &y, &d, &h, &m, &s);
    EXPECT_EQ(y, 1969);
    EXPECT_EQ(d, 365);
    EXPECT_EQ(h, 23);
    EXPECT_NEAR(s, 59.5, 1e-9);
    EXPECT_EQ(yearday(T2024 + 365 * 86400.0), 2024366);
    EXPECT_EQ(yearday(T2024 - 1), 2023365);
    EXPECT_DOUBLE_EQ(yearday2epoch(2024001), T2024);
    EXPECT_EQ(yearday2epoch(2023366), TIME_NULL);
    int mon, day;
    ASSERT_EQ(hd2md_date(2024, 60, &mon, &day), 0);
    EXPECT_EQ(mon, 2);
    EXPECT_EQ(day, 29);
    EXPECT_EQ(md2doy(2023, 12, 31), 365);
    EXPECT_EQ(md2doy(2023, 2, 29), -1);

    char buf[64];
    EXPECT_STREQ(strtime_r(T2024 + 59.9996, buf, sizeof buf), "2024-01-01 00:01:00.000");
    EXPECT_STREQ(strtime_r(T2024 - 0.001, buf, sizeof buf), "2023-12-31 23:59:59.999");
    char *p = strtime(T2024 + 0.25);
    EXPECT_STREQ(p, "2024-01-01 00:00:00.250");
    // What strtime prints, str2epoch reads back.
    EXPECT_NEAR(str2epoch(p), T2024 + 0.25, 1e-6);
    free(p);
    // Every day of a leap year round-trips through yearday.
    for (int i = 0; i < 366; i++) {
        double t = T2024 + i * 86400.0 + 43200;
        ASSERT_EQ(yearday(t), 2024001 + i);
        ASSERT_DOUBLE_EQ(yearday2epoch(yearday(t)), T2024 + i * 86400.0);
    }
}

TEST(Calendar, EpochsFarOutsideTheCalendarDoNotBreakIt) {
    // A plain number is any epoch: 1e300 is read, and must print and convert sanely.
    double t = 0;
    ASSERT_EQ(str2epoch_r("1e300", &t), 0);
    char buf[64];
    EXPECT_STREQ(strtime_r(t, buf, sizeof buf), "(bad time)");
    EXPECT_STREQ(strtime_r(-1e18, buf, sizeof buf), "(bad time)");
    int y, d, h, m;
    double s;
    e2h(1e300, &y, &d, &h, &m, &s);
    EXPECT_GT(y, 300000000);
    EXPECT_GE(d, 1);
    EXPECT_LE(d, 366);
    e2h(-1e300, &y, &d, &h, &m, &s);
    EXPECT_LT(y, -300000000);
    EXPECT_GT(yearday(1e300), 0);
    // Negative epochs well before the common era still print exactly.
    EXPECT_STREQ(strtime_r(-62135596800.0 - 366 * 86400.0, buf, sizeof buf), "0000-01-01 00:00:00.000");
    EXPECT_STREQ(strtime_r(-1.5, buf, sizeof buf), "1969-12-31 23:59:58.500");
}

}  // namespace
