#include "platform/common/NetAddress.h"

#include <charconv>

namespace vserver::platform {

namespace {

constexpr int kV4MappedBits = 96;

} // namespace

bool NetAddress::IsV4() const {
    for (int i = 0; i < 10; ++i) {
        if (bytes[static_cast<std::size_t>(i)] != 0) return false;
    }
    return bytes[10] == 0xFF && bytes[11] == 0xFF;
}

std::size_t NetAddressHash::operator()(const NetAddress& address) const {
    // FNV-1a over the 16 bytes: cheap, and spreads addresses that differ in one byte.
    std::size_t hash = 1469598103934665603ULL;
    for (std::uint8_t b : address.bytes) {
        hash ^= b;
        hash *= 1099511628211ULL;
    }
    return hash;
}

bool AddressPrefix::Matches(const NetAddress& address) const {
    int whole = bits / 8;
    for (int i = 0; i < whole; ++i) {
        if (address.bytes[static_cast<std::size_t>(i)] != base.bytes[static_cast<std::size_t>(i)]) return false;
    }
    int rest = bits % 8;
    if (rest == 0) return true;
    auto mask = static_cast<std::uint8_t>(0xFF << (8 - rest));
    return (address.bytes[static_cast<std::size_t>(whole)] & mask) == (base.bytes[static_cast<std::size_t>(whole)] & mask);
}

std::optional<AddressPrefix> ParseAddressPrefix(std::string_view text) {
    std::size_t slash = text.find('/');
    std::optional<NetAddress> base = ParseNetAddress(text.substr(0, slash));
    if (!base) return std::nullopt;
    AddressPrefix prefix{*base, 128};
    if (slash == std::string_view::npos) return prefix;
    // An IPv4 address written as such takes an IPv4 prefix length; a mapped form written in
    // IPv6 takes one over all 128 bits.
    const bool writtenAsV4 = text.substr(0, slash).find(':') == std::string_view::npos;
    const int most = writtenAsV4 ? 32 : 128;
    std::string_view digits = text.substr(slash + 1);
    int length = -1;
    auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), length);
    if (digits.empty() || digits.front() < '0' || digits.front() > '9' || error != std::errc() || end != digits.data() + digits.size() || length < 0 ||
        length > most) {
        return std::nullopt;
    }
    prefix.bits = writtenAsV4 ? kV4MappedBits + length : length;
    return prefix;
}

} // namespace vserver::platform
