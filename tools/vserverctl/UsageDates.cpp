// Dates of the usage report: the file's local dates and times as a count of days and seconds,
// and the forms in which the report shows and takes them.

#include <cstdio>

#include "vserverctl/UsageTally.h"

namespace vserver::ctl {

namespace {

long long FloorDivide(long long value, long long by) { return value / by - (value % by < 0 ? 1 : 0); }

struct Date {
    long long year;
    int month;
    int day;
};

// The inverse of DayNumber (the civil-from-days algorithm: eras of 400 years from March 1st).
Date DateOf(long long days) {
    days += 719468;
    const long long era = FloorDivide(days, 146097);
    const long long dayOfEra = days - era * 146097;
    const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long shifted = (5 * dayOfYear + 2) / 153;
    const int day = static_cast<int>(dayOfYear - (153 * shifted + 2) / 5 + 1);
    const int month = static_cast<int>(shifted < 10 ? shifted + 3 : shifted - 9);
    return {yearOfEra + era * 400 + (month <= 2 ? 1 : 0), month, day};
}

bool AllDigits(std::string_view text) {
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return !text.empty();
}

int Number(std::string_view text) {
    int value = 0;
    for (char c : text) value = value * 10 + (c - '0');
    return value;
}

} // namespace

long long DayNumber(int year, int month, int day) {
    const long long y = year - (month <= 2 ? 1 : 0);
    const long long era = FloorDivide(y, 400);
    const long long yearOfEra = y - era * 400;
    const long long dayOfYear = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
    const long long dayOfEra = yearOfEra * 365 + yearOfEra / 4 - yearOfEra / 100 + dayOfYear;
    return era * 146097 + dayOfEra - 719468;
}

std::string IsoDate(long long day) {
    const Date date = DateOf(day);
    char text[32];
    std::snprintf(text, sizeof text, "%04lld-%02d-%02d", date.year, date.month, date.day);
    return text;
}

std::string IsoDateTime(CivilSeconds at) {
    const long long day = FloorDivide(at, 86400);
    const long long secondOfDay = at - day * 86400;
    char text[32];
    std::snprintf(text, sizeof text, " %02lld:%02lld:%02lld", secondOfDay / 3600, secondOfDay / 60 % 60, secondOfDay % 60);
    return IsoDate(day) + text;
}

std::optional<long long> ParseReportDate(std::string_view text) {
    int year = 0;
    int month = 0;
    int day = 0;
    if (text.size() == 10 && text[4] == '-' && text[7] == '-' && AllDigits(text.substr(0, 4)) &&
        AllDigits(text.substr(5, 2)) && AllDigits(text.substr(8, 2))) {
        year = Number(text.substr(0, 4));
        month = Number(text.substr(5, 2));
        day = Number(text.substr(8, 2));
    } else if (text.size() == 8 && text[2] == '/' && text[5] == '/' && AllDigits(text.substr(0, 2)) &&
               AllDigits(text.substr(3, 2)) && AllDigits(text.substr(6, 2))) {
        // The file's own form, its two-digit year read as the file's lines are.
        month = Number(text.substr(0, 2));
        day = Number(text.substr(3, 2));
        const int shortYear = Number(text.substr(6, 2));
        year = shortYear >= 69 ? 1900 + shortYear : 2000 + shortYear;
    } else {
        return std::nullopt;
    }
    if (month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
    // A day past the month's end (02/30) is refused rather than moved into the next month.
    if (DateOf(DayNumber(year, month, day)).month != month) return std::nullopt;
    return DayNumber(year, month, day);
}

} // namespace vserver::ctl
