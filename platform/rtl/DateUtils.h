#pragma once
// TDateTime: days since 1899-12-30 00:00 in a double, the time of day as the
// fraction. Before that day the value is negative and the fraction still counts
// forward from midnight as its magnitude (-1.25 is 1899-12-29 06:00), as the
// runtime has always stored it.

#include <QString>
#include <cstdint>

using TDateTime = double;

inline constexpr int HoursPerDay = 24;
inline constexpr int MinsPerDay = 24 * 60;
inline constexpr int SecsPerDay = 24 * 60 * 60;
inline constexpr std::int64_t MSecsPerDay = 24LL * 60 * 60 * 1000;

bool IsLeapYear(int year);
int DaysInAMonth(int year, int month);

// Year 1..9999, month 1..12, day 1..days of that month; EncodeDate raises
// EConvertError "Invalid argument to date encode" otherwise.
bool TryEncodeDate(int year, int month, int day, TDateTime& date);
TDateTime EncodeDate(int year, int month, int day);

// Hour 0..23, minute and second 0..59, millisecond 0..999; EncodeTime raises
// EConvertError "Invalid argument to time encode" otherwise.
bool TryEncodeTime(int hour, int min, int sec, int msec, TDateTime& time);
TDateTime EncodeTime(int hour, int min, int sec, int msec);

// Both of the above in one value; EncodeDateTime raises EConvertError
// "Invalid date/time: Y-M-D H:N:S.Z" (the arguments) when any part is out of range.
bool TryEncodeDateTime(int year, int month, int day, int hour, int min, int sec, int msec,
                       TDateTime& value);
TDateTime EncodeDateTime(int year, int month, int day, int hour, int min, int sec, int msec);

// The parts of a value, the millisecond rounded to the nearest.
void DecodeDate(TDateTime value, int& year, int& month, int& day);
void DecodeTime(TDateTime value, int& hour, int& min, int& sec, int& msec);

// Moves a value by whole milliseconds, exactly: stepping an encoded second by
// 1000 gives the same value as encoding the next second.
TDateTime IncMilliSecond(TDateTime value, std::int64_t numberOfMilliSeconds = 1);

// The local date and time now.
TDateTime Now();

// Formats with the runtime's picture letters: yyyy, yy, m, mm (month), d, dd,
// h, hh (24-hour), n, nn (minutes), s, ss, z, zzz (milliseconds); text in single
// or double quotes is copied without its quotes; any other character is copied.
// For example "yyyy-mm-dd hh-nn-ss" gives "2003-06-15 14-22-05".
QString FormatDateTime(const QString& format, TDateTime value);
