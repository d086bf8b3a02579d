#pragma once
// The local clock and the two C-locale formats the logs use ("%x" gives MM/DD/YY, "%X" gives
// HH:MM:SS on the 24-hour clock).

#include <cstdint>
#include <string>

namespace vserver::platform {

// Local date and time in the eight fields a session record keeps.
struct LocalTime {
    std::uint16_t year = 0;
    std::uint16_t month = 0;
    std::uint16_t dayOfWeek = 0;
    std::uint16_t day = 0;
    std::uint16_t hour = 0;
    std::uint16_t minute = 0;
    std::uint16_t second = 0;
    std::uint16_t milliseconds = 0;
};

LocalTime Now();

// "%x" and "%X" of the C locale: "12/17/07" and "21:49:41".
std::string FormatDate(const LocalTime& t);
std::string FormatTime(const LocalTime& t);

} // namespace vserver::platform
