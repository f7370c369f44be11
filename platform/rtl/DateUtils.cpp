#include "platform/rtl/DateUtils.h"

#include "platform/rtl/SysUtils.h"

#include <QDateTime>

#include <cmath>
#include <cstdlib>

namespace {

// Days between 1970-01-01 and a date of the proleptic Gregorian calendar
// (H. Hinnant's civil-day algorithms).
std::int64_t daysFromCivil(std::int64_t y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const auto yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m > 2 ? m - 3 : m + 9) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

void civilFromDays(std::int64_t z, int& year, int& month, int& day)
{
    z += 719468;
    const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    const auto doe = static_cast<unsigned>(z - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    day = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
    month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    year = static_cast<int>(static_cast<std::int64_t>(yoe) + era * 400 + (month <= 2));
}

// 1899-12-30, day 0 of TDateTime, counted from 1970-01-01.
constexpr std::int64_t kEpochOffset = -25569;

// A day number and a time of day in milliseconds as one value (see the header
// for negative days).
TDateTime compose(std::int64_t day, std::int64_t msOfDay)
{
    const double t = static_cast<double>(msOfDay) / static_cast<double>(MSecsPerDay);
    const auto d = static_cast<double>(day);
    return day >= 0 ? d + t : d - t;
}

// The day and the millisecond of the day of a value.
void split(TDateTime value, std::int64_t& day, std::int64_t& msOfDay)
{
    const std::int64_t ms = std::llround(value * static_cast<double>(MSecsPerDay));
    day = ms / MSecsPerDay;
    msOfDay = std::llabs(ms) % MSecsPerDay;
}

QString pad(int v, int width)
{
    return QStringLiteral("%1").arg(v, width, 10, QLatin1Char('0'));
}

} // namespace

bool IsLeapYear(int year)
{
    return year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
}

int DaysInAMonth(int year, int month)
{
    static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (month < 1 || month > 12)
        return 0;
    return month == 2 && IsLeapYear(year) ? 29 : days[month - 1];
}

bool TryEncodeDate(int year, int month, int day, TDateTime& date)
{
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > DaysInAMonth(year, month))
        return false;
    date = static_cast<double>(daysFromCivil(year, static_cast<unsigned>(month), static_cast<unsigned>(day)) -
                               kEpochOffset);
    return true;
}

TDateTime EncodeDate(int year, int month, int day)
{
    TDateTime d = 0;
    if (!TryEncodeDate(year, month, day, d))
        throw EConvertError(QStringLiteral("Invalid argument to date encode"));
    return d;
}

bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& time)
{
    if (hour < 0 || hour >= HoursPerDay || min < 0 || min > 59 || sec < 0 || sec > 59 || msec < 0 || msec > 999)
        return false;
    time = compose(0, ((hour * 60LL + min) * 60 + sec) * 1000 + msec);
    return true;
}

TDateTime EncodeTime(int hour, int min, int sec, int msec)
{
    TDateTime t = 0;
    if (!TryEncodeTime(hour, min, sec, msec, t))
        throw EConvertError(QStringLiteral("Invalid argument to time encode"));
    return t;
}

bool TryEncodeDateTime(int year, int month, int day, int hour, int min, int sec, int msec, TDateTime& value)
{
    TDateTime d = 0, t = 0;
    if (!TryEncodeDate(year, month, day, d) || !TryEncodeTime(hour, min, sec, msec, t))
        return false;
    value = d >= 0 ? d + t : d - t;
    return true;
}

TDateTime EncodeDateTime(int year, int month, int day, int hour, int min, int sec, int msec)
{
    TDateTime v = 0;
    if (!TryEncodeDateTime(year, month, day, hour, min, sec, msec, v))
        throw EConvertError(QStringLiteral("Invalid date/time: %1-%2-%3 %4:%5:%6.%7")
                                .arg(year)
                                .arg(month)
                                .arg(day)
                                .arg(hour)
                                .arg(min)
                                .arg(sec)
                                .arg(msec));
    return v;
}

void DecodeDate(TDateTime value, int& year, int& month, int& day)
{
    std::int64_t d = 0, ms = 0;
    split(value, d, ms);
    civilFromDays(d + kEpochOffset, year, month, day);
}

void DecodeTime(TDateTime value, int& hour, int& min, int& sec, int& msec)
{
    std::int64_t d = 0, ms = 0;
    split(value, d, ms);
    msec = static_cast<int>(ms % 1000);
    sec = static_cast<int>(ms / 1000 % 60);
    min = static_cast<int>(ms / 60000 % 60);
    hour = static_cast<int>(ms / 3600000);
}

TDateTime IncMilliSecond(TDateTime value, std::int64_t numberOfMilliSeconds)
{
    // Work on one straight count of milliseconds since day 0, so that negative
    // values (whose fraction counts forward) move the right way too.
    std::int64_t day = 0, ms = 0;
    split(value, day, ms);
    const std::int64_t linear = day * MSecsPerDay + ms + numberOfMilliSeconds;
    std::int64_t newDay = linear / MSecsPerDay;
    std::int64_t newMs = linear % MSecsPerDay;
    if (newMs < 0) {
        newMs += MSecsPerDay;
        --newDay;
    }
    return compose(newDay, newMs);
}

TDateTime Now()
{
    const QDateTime now = QDateTime::currentDateTime();
    const QDate d = now.date();
    const QTime t = now.time();
    return EncodeDateTime(d.year(), d.month(), d.day(), t.hour(), t.minute(), t.second(), t.msec());
}

QString FormatDateTime(const QString& format, TDateTime value)
{
    int year = 0, month = 0, day = 0, hour = 0, min = 0, sec = 0, msec = 0;
    DecodeDate(value, year, month, day);
    DecodeTime(value, hour, min, sec, msec);
    QString out;
    const qsizetype n = format.size();
    for (qsizetype i = 0; i < n;) {
        const QChar c = format[i];
        if (c == u'\'' || c == u'"') {
            const qsizetype end = format.indexOf(c, i + 1);
            const qsizetype stop = end < 0 ? n : end;
            out += format.mid(i + 1, stop - i - 1);
            i = end < 0 ? n : end + 1;
            continue;
        }
        const QChar lower = c.toLower();
        qsizetype run = 1;
        while (i + run < n && format[i + run].toLower() == lower)
            ++run;
        switch (lower.unicode()) {
        case u'y':
            out += run <= 2 ? pad(year % 100, 2) : pad(year, 4);
            break;
        case u'm':
            out += pad(month, run >= 2 ? 2 : 1);
            break;
        case u'd':
            out += pad(day, run >= 2 ? 2 : 1);
            break;
        case u'h':
            out += pad(hour, run >= 2 ? 2 : 1);
            break;
        case u'n':
            out += pad(min, run >= 2 ? 2 : 1);
            break;
        case u's':
            out += pad(sec, run >= 2 ? 2 : 1);
            break;
        case u'z':
            out += pad(msec, run >= 3 ? 3 : 1);
            break;
        default:
            out += format.mid(i, run);
            break;
        }
        i += run;
    }
    return out;
}
