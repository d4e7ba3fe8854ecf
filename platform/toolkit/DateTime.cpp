#include "platform/toolkit/DateTime.h"

#include "platform/toolkit/Exception.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace {

using namespace std::chrono;

// Days from 1 January 1970 to 30 December 1899.
constexpr int64_t EpochOffset = 25569;

} // namespace

bool IsLeapYear(int Year) {
    return Year % 4 == 0 && (Year % 100 != 0 || Year % 400 == 0);
}

int DaysPerMonth(int Year, int Month) {
    static constexpr int Days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (Month < 1 || Month > 12) return 0;
    return Month == 2 && IsLeapYear(Year) ? 29 : Days[Month - 1];
}

bool IsValidDate(TDateTime Value) {
    return Value >= MinDateTime && Value < MaxDateTime;
}

TDateTime EncodeDate(int Year, int Month, int Day) {
    if (Year < 1 || Year > 9999 || Month < 1 || Month > 12 || Day < 1 || Day > DaysPerMonth(Year, Month)) {
        char text[80];
        std::snprintf(text, sizeof text, "There is no date %04d-%02d-%02d", Year, Month, Day);
        throw EConvertError(text);
    }
    year_month_day ymd{year{Year}, month{static_cast<unsigned>(Month)}, day{static_cast<unsigned>(Day)}};
    return static_cast<TDateTime>(sys_days(ymd).time_since_epoch().count() + EpochOffset);
}

void DecodeDate(TDateTime Value, int& Year, int& Month, int& Day) {
    const auto days = static_cast<int64_t>(std::floor(Value)) - EpochOffset;
    year_month_day ymd{sys_days{std::chrono::days{days}}};
    Year = static_cast<int>(ymd.year());
    Month = static_cast<int>(static_cast<unsigned>(ymd.month()));
    Day = static_cast<int>(static_cast<unsigned>(ymd.day()));
}

int DayOfWeek(TDateTime Value) {
    const auto days = static_cast<int64_t>(std::floor(Value));
    // Day 0, 30 December 1899, was a Saturday.
    return static_cast<int>(((days + 6) % 7 + 7) % 7) + 1;
}

TDateTime Date() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return EncodeDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}
