#include "client/ProtocolClient.h"

namespace vserver::client {

std::string EncodeRequest(const Request& request) {
    std::string out;
    out += std::to_string(request.id);
    out += kFieldSeparator;
    out += kFieldSeparator;
    out += kFieldSeparator;
    out += std::to_string(request.type);
    out += kFieldSeparator;
    out += request.label;
    out += kFieldSeparator;
    out += request.account;
    out += kFieldSeparator;
    out += request.argument1;
    out += kFieldSeparator;
    out += request.argument2;
    if (request.clientKind || !request.version.empty() || !request.detail.empty()) {
        out += kSectionSeparator;
        if (request.clientKind) out += std::to_string(*request.clientKind);
        out += kSectionSeparator;
        out += request.version;
        out += kSectionSeparator;
        out += request.detail;
    }
    out += wire::kMessageTerminator;
    return out;
}

std::vector<std::string> SplitFields(std::string_view message, char separator) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        std::size_t at = message.find(separator, start);
        if (at == std::string_view::npos) {
            fields.emplace_back(message.substr(start));
            return fields;
        }
        fields.emplace_back(message.substr(start, at - start));
        start = at + 1;
    }
}

std::optional<char> FirstReservedByte(std::string_view text) {
    for (char c : text) {
        if (c == kMessageEnd || c == kSectionSeparator || c == kFieldSeparator || c == kItemSeparator) return c;
    }
    return std::nullopt;
}

std::string EncodeMessage(const std::vector<std::string_view>& fields) {
    std::string out;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        if (i > 0) out += kFieldSeparator;
        out += fields[i];
    }
    out += wire::kMessageTerminator;
    return out;
}

std::string_view FieldsFrom(std::string_view message, std::size_t first) {
    if (first == 0) return {};
    std::size_t start = 0;
    for (std::size_t field = 1; field < first; ++field) {
        std::size_t at = message.find(kFieldSeparator, start);
        if (at == std::string_view::npos) return {};
        start = at + 1;
    }
    return message.substr(start);
}

Reply ParseReply(std::string_view message) {
    Reply reply;
    std::vector<std::string> fields = SplitFields(message);
    reply.fieldCount = fields.size();
    reply.code = fields[0];
    if (fields.size() > 1) reply.id = fields[1];
    if (fields.size() > 2) reply.type = fields[2];
    reply.result = std::string(FieldsFrom(message, 4));
    reply.text = std::string(message);
    return reply;
}

std::optional<std::string> ParseHex(std::string_view hex) {
    auto digit = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    };
    std::string bytes;
    int high = -1;
    for (char c : hex) {
        if (c == ' ') continue;
        int value = digit(c);
        if (value < 0) return std::nullopt;
        if (high < 0) {
            high = value;
        } else {
            bytes += static_cast<char>(high * 16 + value);
            high = -1;
        }
    }
    if (high >= 0) return std::nullopt;
    return bytes;
}

std::string ToHex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (unsigned char c : bytes) {
        out += kDigits[c >> 4];
        out += kDigits[c & 15];
    }
    return out;
}

} // namespace vserver::client
