// TDateTime: encoding with its range checks, decoding, millisecond steps and formatting.
#include "platform/rtl/DateUtils.h"
#include "platform/rtl/SysUtils.h"

#include <QDateTime>

#include <gtest/gtest.h>

#include <cmath>

TEST(Encode, KnownDaysAndTimes)
{
    EXPECT_EQ(EncodeDate(1899, 12, 30), 0.0);
    EXPECT_EQ(EncodeDate(1900, 1, 1), 2.0);
    EXPECT_EQ(EncodeDate(2000, 1, 1), 36526.0);
    EXPECT_EQ(EncodeDate(1899, 12, 29), -1.0);
    EXPECT_EQ(EncodeDate(1, 1, 1), -693593.0);
    EXPECT_EQ(EncodeTime(12, 0, 0, 0), 0.5);
    EXPECT_EQ(EncodeTime(6, 0, 0, 0), 0.25);
    EXPECT_LT(EncodeTime(23, 59, 59, 999), 1.0);
    EXPECT_EQ(EncodeDateTime(2000, 1, 1, 18, 0, 0, 0), 36526.75);
    // Before day 0 the fraction counts forward as its magnitude.
    EXPECT_EQ(EncodeDateTime(1899, 12, 29, 6, 0, 0, 0), -1.25);
}

TEST(Encode, InvalidValuesRaiseConvertErrors)
{
    EXPECT_NO_THROW(EncodeDate(2004, 2, 29));
    EXPECT_NO_THROW(EncodeDate(2000, 2, 29));
    EXPECT_NO_THROW(EncodeDate(9999, 12, 31));
    const int badDates[][3] = {{2003, 2, 29}, {1900, 2, 29}, {2003, 0, 1}, {2003, 13, 1}, {2003, 4, 31},
                               {2003, 1, 0},  {2003, 1, 32}, {0, 1, 1},    {10000, 1, 1}, {2003, -1, 1}};
    for (const auto& d : badDates) {
        try {
            EncodeDate(d[0], d[1], d[2]);
            ADD_FAILURE() << d[0] << "-" << d[1] << "-" << d[2];
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), "Invalid argument to date encode");
        }
        TDateTime untouched = 7;
        EXPECT_FALSE(TryEncodeDate(d[0], d[1], d[2], untouched));
        EXPECT_EQ(untouched, 7);
    }
    const int badTimes[][4] = {{24, 0, 0, 0}, {0, 60, 0, 0}, {0, 0, 60, 0}, {0, 0, 0, 1000}, {-1, 0, 0, 0},
                               {0, -1, 0, 0}, {0, 0, -1, 0}, {0, 0, 0, -1}};
    for (const auto& t : badTimes) {
        try {
            EncodeTime(t[0], t[1], t[2], t[3]);
            ADD_FAILURE() << t[0] << ":" << t[1] << ":" << t[2] << "." << t[3];
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.Message(), "Invalid argument to time encode");
        }
    }
    // What a blank tape decodes to: no day, no month.
    EXPECT_THROW(EncodeDateTime(2000, 0, 0, 0, 0, 0, 0), EConvertError);
    EXPECT_THROW(EncodeDateTime(2003, 6, 15, 25, 0, 0, 0), EConvertError);
    TDateTime v = 0;
    EXPECT_FALSE(TryEncodeDateTime(2003, 6, 15, 14, 60, 0, 0, v));
}

TEST(Decode, RoundTripsAcrossYearsAndLeapDays)
{
    for (int year : {1, 1600, 1899, 1900, 1970, 2000, 2003, 2024, 2100, 9999}) {
        for (int month = 1; month <= 12; ++month) {
            for (int day : {1, 15, DaysInAMonth(year, month)}) {
                const int h = (day * 7) % 24, n = (month * 11) % 60, s = (year + day) % 60, ms = (day * 37) % 1000;
                const TDateTime v = EncodeDateTime(year, month, day, h, n, s, ms);
                int y2, m2, d2, h2, n2, s2, ms2;
                DecodeDate(v, y2, m2, d2);
                DecodeTime(v, h2, n2, s2, ms2);
                ASSERT_EQ(y2, year);
                ASSERT_EQ(m2, month);
                ASSERT_EQ(d2, day);
                ASSERT_EQ(h2, h) << year << "-" << month << "-" << day;
                ASSERT_EQ(n2, n);
                ASSERT_EQ(s2, s);
                ASSERT_EQ(ms2, ms);
            }
        }
    }
    EXPECT_EQ(DaysInAMonth(2000, 2), 29);
    EXPECT_EQ(DaysInAMonth(1900, 2), 28);
}

TEST(IncMilliSecond, StepsExactlyAndAcrossDayZero)
{
    const TDateTime d = EncodeDateTime(2003, 6, 15, 14, 22, 5, 0);
    EXPECT_EQ(IncMilliSecond(d, 1000), EncodeDateTime(2003, 6, 15, 14, 22, 6, 0));
    EXPECT_EQ(IncMilliSecond(d, -1000), EncodeDateTime(2003, 6, 15, 14, 22, 4, 0));
    EXPECT_EQ(IncMilliSecond(EncodeDateTime(2003, 12, 31, 23, 59, 59, 999)), EncodeDate(2004, 1, 1));

    // The scene limit: a frame one second on is inside 1500 ms, two seconds on is not.
    const TDateTime limit = IncMilliSecond(d, 1500) - d;
    EXPECT_LE(EncodeDateTime(2003, 6, 15, 14, 22, 6, 0) - d, limit);
    EXPECT_GT(EncodeDateTime(2003, 6, 15, 14, 22, 7, 0) - d, limit);
    EXPECT_NEAR(limit * MSecsPerDay, 1500.0, 1e-3); // a day count near 40000 holds ms to about 1e-3

    // Negative values: 1899-12-29 06:00 plus 18 h is day 0; 06:00 on day 0 minus 12 h is 1899-12-29 18:00.
    EXPECT_EQ(IncMilliSecond(-1.25, 18LL * 3600 * 1000), 0.0);
    EXPECT_EQ(IncMilliSecond(0.25, -12LL * 3600 * 1000), -1.75);
    EXPECT_EQ(IncMilliSecond(EncodeDate(1899, 12, 28), 36LL * 3600 * 1000), -1.5);
}

TEST(FormatDateTime, PicturesOfTheProgram)
{
    const TDateTime d = EncodeDateTime(2003, 6, 15, 14, 22, 5, 0);
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh-nn-ss", d), "2003-06-15 14-22-05");
    const TDateTime e = EncodeDateTime(2007, 1, 5, 3, 4, 9, 45);
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh-nn-ss", e), "2007-01-05 03-04-09");
    EXPECT_EQ(FormatDateTime("d.m.yy h:n:s.zzz", e), "5.1.07 3:4:9.045");
    EXPECT_EQ(FormatDateTime("YYYY 'mm' \"dd\" z", e), "2007 mm dd 45");
    EXPECT_EQ(FormatDateTime("hh-nn-ss", EncodeTime(23, 59, 59, 999)), "23-59-59");
    EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh-nn", -1.25), "1899-12-29 06-00");
}

TEST(Now, IsTheLocalTime)
{
    const QDateTime before = QDateTime::currentDateTime();
    const TDateTime now = Now();
    const QDateTime after = QDateTime::currentDateTime();
    auto toValue = [](const QDateTime& t) {
        return EncodeDateTime(t.date().year(), t.date().month(), t.date().day(), t.time().hour(), t.time().minute(),
                              t.time().second(), t.time().msec());
    };
    EXPECT_GE(now, toValue(before));
    EXPECT_LE(now, toValue(after));
}
