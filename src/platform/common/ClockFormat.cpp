#include "platform/Clock.h"

#include <cstdio>

namespace vserver::platform {

// The C locale's "%x" and "%X" are fixed patterns; formatting them directly avoids depending on
// whatever locale the process happens to inherit.
std::string FormatDate(const LocalTime& t) {
    char text[16];
    std::snprintf(text, sizeof text, "%02u/%02u/%02u", t.month % 100u, t.day % 100u, t.year % 100u);
    return text;
}

std::string FormatTime(const LocalTime& t) {
    char text[16];
    std::snprintf(text, sizeof text, "%02u:%02u:%02u", t.hour % 100u, t.minute % 100u, t.second % 100u);
    return text;
}

} // namespace vserver::platform
