#pragma once

#include <cstdint>

// Dates as a day count in a floating-point value: whole days since 30 December 1899, the time of
// day as the fraction. Years 1 to 9999 of the proleptic Gregorian calendar are dates; anything
// else (and NaN) is not.
using TDateTime = double;

constexpr TDateTime MinDateTime = -693593.0; // 1 January 0001
constexpr TDateTime MaxDateTime = 2958466.0; // just past 31 December 9999

bool IsLeapYear(int Year);
// 1..12; 0 for a month outside that range.
int DaysPerMonth(int Year, int Month);
bool IsValidDate(TDateTime Value);
// Raises EConvertError when the three numbers are no date ("There is no date 2001-02-29").
TDateTime EncodeDate(int Year, int Month, int Day);
// The date part of Value; Value must be valid (IsValidDate).
void DecodeDate(TDateTime Value, int& Year, int& Month, int& Day);
// 1 = Sunday … 7 = Saturday.
int DayOfWeek(TDateTime Value);
// Today, by the local clock.
TDateTime Date();
