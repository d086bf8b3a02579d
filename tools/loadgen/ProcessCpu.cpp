#include "loadgen/ProcessCpu.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>

namespace vserver::loadgen {

std::optional<double> ProcessCpuSeconds(int pid) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr) return std::nullopt;
    char text[1024];
    std::size_t length = std::fread(text, 1, sizeof text - 1, file);
    std::fclose(file);
    text[length] = '\0';
    // The command name in parentheses may hold blanks and parentheses itself; the fields after
    // it start past the last ')'. utime and stime are the 14th and 15th fields, that is the
    // 12th and 13th after the name.
    const char* rest = std::strrchr(text, ')');
    if (rest == nullptr) return std::nullopt;
    ++rest;
    unsigned long long ticks[2] = {0, 0};
    for (int field = 1; field <= 13; ++field) {
        char* end = nullptr;
        while (*rest == ' ') ++rest;
        if (*rest == '\0') return std::nullopt;
        if (field >= 12) {
            ticks[field - 12] = std::strtoull(rest, &end, 10);
            rest = end;
        } else {
            rest = std::strchr(rest, ' ');
            if (rest == nullptr) return std::nullopt;
        }
    }
    long perSecond = ::sysconf(_SC_CLK_TCK);
    if (perSecond <= 0) return std::nullopt;
    return static_cast<double>(ticks[0] + ticks[1]) / static_cast<double>(perSecond);
}

std::optional<std::uint64_t> ProcessWrittenBytes(int pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/io");
    for (std::string name; in >> name;) {
        std::uint64_t value = 0;
        if (!(in >> value)) return std::nullopt;
        if (name == "write_bytes:") return value;
    }
    return std::nullopt;
}

} // namespace vserver::loadgen
