// Addresses as text, the listeners' addresses and the accepted peers' addresses: NetAddress
// converted to and from the system's socket addresses, which every system lays out alike.

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "SocketHeaders.h"
#include "platform/BackendCalls.h"
#include "platform/Socket.h"

namespace vserver::platform {

NetAddress backend::FromSocketAddress(const sockaddr_storage& address) {
    NetAddress result;
    if (address.ss_family == AF_INET6) {
        const auto& v6 = reinterpret_cast<const sockaddr_in6&>(address);
        std::memcpy(result.bytes.data(), &v6.sin6_addr, 16);
    } else if (address.ss_family == AF_INET) {
        const auto& v4 = reinterpret_cast<const sockaddr_in&>(address);
        result.bytes[10] = 0xFF;
        result.bytes[11] = 0xFF;
        std::memcpy(result.bytes.data() + 12, &v4.sin_addr, 4);
    }
    return result;
}

std::optional<NetAddress> ParseNetAddress(std::string_view text) {
    if (text.empty() || text.find('\0') != std::string_view::npos) return std::nullopt;
    if (StartSocketSupport() != SocketSupport::Ready) return std::nullopt;
    const std::string terminated(text);
    NetAddress result;
    if (terminated.find(':') != std::string::npos) {
        if (::inet_pton(AF_INET6, terminated.c_str(), result.bytes.data()) != 1) return std::nullopt;
        return result;
    }
    result.bytes[10] = 0xFF;
    result.bytes[11] = 0xFF;
    if (::inet_pton(AF_INET, terminated.c_str(), result.bytes.data() + 12) != 1) return std::nullopt;
    return result;
}

std::string FormatNetAddress(const NetAddress& address) {
    char text[INET6_ADDRSTRLEN] = {};
    if (StartSocketSupport() != SocketSupport::Ready) return {};
    if (address.IsV4()) {
        ::inet_ntop(AF_INET, address.bytes.data() + 12, text, sizeof text);
    } else {
        ::inet_ntop(AF_INET6, address.bytes.data(), text, sizeof text);
    }
    return text;
}

int LocalPort(IoHandle handle) {
    sockaddr_storage address{};
    if (!backend::LocalSocketAddress(handle, address)) return 0;
    if (address.ss_family == AF_INET6) return ntohs(reinterpret_cast<sockaddr_in6*>(&address)->sin6_port);
    return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

SysResult ListenTcp(int port, int backlog, IoHandle& handle) {
    // An IPv6 socket that also takes IPv4 covers "every local address"; fall back to IPv4 alone
    // where IPv6 is switched off.
    sockaddr_in6 any6{};
    any6.sin6_family = AF_INET6;
    any6.sin6_addr = in6addr_any;
    any6.sin6_port = htons(static_cast<std::uint16_t>(port));
    SysResult opened = backend::OpenListener(reinterpret_cast<const sockaddr*>(&any6), sizeof any6, false, backlog, handle);
    if (opened || (opened.error() != EAFNOSUPPORT && opened.error() != EADDRNOTAVAIL)) return opened;
    sockaddr_in any4{};
    any4.sin_family = AF_INET;
    any4.sin_addr.s_addr = htonl(INADDR_ANY);
    any4.sin_port = htons(static_cast<std::uint16_t>(port));
    return backend::OpenListener(reinterpret_cast<const sockaddr*>(&any4), sizeof any4, false, backlog, handle);
}

SysResult ListenTcpOn(const NetAddress& address, int port, int backlog, IoHandle& handle) {
    if (address.IsV4()) {
        sockaddr_in v4{};
        v4.sin_family = AF_INET;
        std::memcpy(&v4.sin_addr, address.bytes.data() + 12, 4);
        v4.sin_port = htons(static_cast<std::uint16_t>(port));
        return backend::OpenListener(reinterpret_cast<const sockaddr*>(&v4), sizeof v4, true, backlog, handle);
    }
    // Only the address named: "::" then means every IPv6 address, so that "0.0.0.0" can be
    // listed beside it.
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    std::memcpy(&v6.sin6_addr, address.bytes.data(), 16);
    v6.sin6_port = htons(static_cast<std::uint16_t>(port));
    return backend::OpenListener(reinterpret_cast<const sockaddr*>(&v6), sizeof v6, true, backlog, handle);
}

} // namespace vserver::platform
