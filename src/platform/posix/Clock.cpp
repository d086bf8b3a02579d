#include "platform/Clock.h"

#include <sys/time.h>
#include <time.h>

namespace vserver::platform {

LocalTime Now() {
    timeval tv{};
    ::gettimeofday(&tv, nullptr);
    tm local{};
    time_t seconds = tv.tv_sec;
    ::localtime_r(&seconds, &local);
    LocalTime t;
    t.year = static_cast<std::uint16_t>(local.tm_year + 1900);
    t.month = static_cast<std::uint16_t>(local.tm_mon + 1);
    t.dayOfWeek = static_cast<std::uint16_t>(local.tm_wday);
    t.day = static_cast<std::uint16_t>(local.tm_mday);
    t.hour = static_cast<std::uint16_t>(local.tm_hour);
    t.minute = static_cast<std::uint16_t>(local.tm_min);
    t.second = static_cast<std::uint16_t>(local.tm_sec);
    t.milliseconds = static_cast<std::uint16_t>(tv.tv_usec / 1000);
    return t;
}

} // namespace vserver::platform
