// Feeds arbitrary bytes, cut into arbitrary chunks, through the framing and the request cutter:
// nothing may crash, no message may hold an end byte or a NUL, and cutting the stream
// differently must give the same messages.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "wire/MessageAssembler.h"
#include "wire/Request.h"

namespace {

std::vector<std::string> Frame(std::string_view stream, std::size_t chunk) {
    vserver::wire::MessageAssembler assembler;
    std::vector<std::string> messages;
    for (std::size_t at = 0; at < stream.size(); at += chunk) {
        auto outcome = assembler.Feed(stream.substr(at, chunk), [&](std::string_view m) {
            messages.emplace_back(m);
            return true;
        });
        if (outcome == vserver::wire::MessageAssembler::Outcome::Overflow) break;
    }
    return messages;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    std::size_t chunk = 1 + data[0] % 64;
    std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);
    auto whole = Frame(stream, stream.size() + 1);
    auto pieces = Frame(stream, chunk);
    if (whole != pieces) std::abort();
    for (const auto& message : whole) {
        if (message.find('\xBB') != std::string::npos || message.find('\0') != std::string::npos) std::abort();
        auto request = vserver::wire::ParseRequest(message);
        for (std::string_view field : request.fields) {
            if (field.find('\xA7') != std::string_view::npos || field.find('\xA6') != std::string_view::npos) std::abort();
        }
    }
    return 0;
}
