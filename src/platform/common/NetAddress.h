#pragma once
// Internet addresses of clients and listeners, and the address prefixes ("10.1.0.0/16") that
// settings match them against. An IPv4 address is held in its IPv4-mapped IPv6 form
// (::ffff:a.b.c.d), so a client that reaches a dual-stack listener over IPv4 and one that
// reaches an IPv4 listener look the same, and "::ffff:10.0.0.5" in a setting means 10.0.0.5.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace vserver::platform {

struct NetAddress {
    std::array<std::uint8_t, 16> bytes{};

    // True for an IPv4 address (the ::ffff:0:0/96 range).
    bool IsV4() const;
    friend bool operator==(const NetAddress&, const NetAddress&) = default;
};

struct NetAddressHash {
    std::size_t operator()(const NetAddress& address) const;
};

// An IPv4 dotted quad or an IPv6 literal; nothing for anything else (host names included).
std::optional<NetAddress> ParseNetAddress(std::string_view text);
// The address as a person writes it: IPv4 as a dotted quad, IPv6 in its short form.
std::string FormatNetAddress(const NetAddress& address);

// An address with the number of leading bits that must match; a plain address is a prefix of
// all its bits.
struct AddressPrefix {
    NetAddress base;
    int bits = 128;   // counted over the IPv6 form, so an IPv4 "/16" holds 96 + 16

    bool Matches(const NetAddress& address) const;
};

// "a.b.c.d", "a.b.c.d/n" (n up to 32), an IPv6 literal, or one followed by "/n" (n up to
// 128). Host bits beyond the prefix are ignored. Nothing for anything else.
std::optional<AddressPrefix> ParseAddressPrefix(std::string_view text);

} // namespace vserver::platform
