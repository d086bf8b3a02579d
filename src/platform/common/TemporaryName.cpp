#include "platform/common/TemporaryName.h"

#include <charconv>

#include "platform/common/PathText.h"

namespace vserver::platform {

std::string TemporaryPrefix(std::string_view target) { return TemporaryPrefix(target, "tmp"); }

std::string TemporaryPrefix(std::string_view target, std::string_view kind) {
    std::string prefix = ".";
    prefix += LastComponentOf(target);
    prefix += '.';
    prefix += kind;
    prefix += '-';
    return prefix;
}

unsigned long long TemporaryWriterOf(std::string_view rest) {
    const std::size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash + 1 == rest.size()) return 0;
    unsigned long long pid = 0;
    auto parsed = std::from_chars(rest.data(), rest.data() + dash, pid);
    if (parsed.ec != std::errc() || parsed.ptr != rest.data() + dash) return 0;
    if (rest.substr(dash + 1).find_first_not_of("0123456789") != std::string_view::npos) return 0;
    return pid;
}

} // namespace vserver::platform
