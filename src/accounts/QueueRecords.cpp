#include "accounts/QueueRecords.h"

#include "formats/TextCase.h"
#include "wire/Fields.h"

namespace vserver::accounts {

namespace {

constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kTrimmed = " \t\r\n";

bool HoldsLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

void AppendEscaped(std::string& out, std::string_view text) {
    for (char c : text) {
        switch (c) {
        case '\\': out.append("\\\\"); break;
        case '\r': out.append("\\r"); break;
        case '\n': out.append("\\n"); break;
        default: out.push_back(c);
        }
    }
}

std::string Unescaped(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (text[i] == '\\' && (next == '\\' || next == 'r' || next == 'n')) {
            out.push_back(next == 'r' ? '\r' : next == 'n' ? '\n' : '\\');
            ++i;
        } else {
            out.push_back(text[i]);
        }
    }
    return out;
}

// The account a record is for; an escaped one is restored into scratch.
std::string_view OwnerName(std::string_view record, std::string& scratch) {
    const std::string_view name = wire::ExtractField(record, wire::kSectionSeparator, 1);
    if (wire::ExtractField(record, wire::kSectionSeparator, 3) != kEscapedRecordMarker) return name;
    scratch = Unescaped(name);
    return scratch;
}

} // namespace

std::string EncodeQueueRecord(std::string_view account, std::string_view payload) {
    std::string record;
    if (HoldsLineBreak(account) || HoldsLineBreak(payload)) {
        AppendEscaped(record, account);
        record.push_back(wire::kSectionSeparator);
        AppendEscaped(record, payload);
        record.push_back(wire::kSectionSeparator);
        record.append(kEscapedRecordMarker);
    } else {
        record.reserve(account.size() + payload.size() + 3);
        record.append(account).push_back(wire::kSectionSeparator);
        record.append(payload);
    }
    record.append(kLineEnd);
    return record;
}

std::string_view TrimRecord(std::string_view piece) {
    std::size_t first = piece.find_first_not_of(kTrimmed);
    if (first == std::string_view::npos) return {};
    return piece.substr(first, piece.find_last_not_of(kTrimmed) - first + 1);
}

std::size_t OwnerOf(std::string_view record, std::span<const std::string> accounts) {
    std::string scratch;
    const std::string_view name = OwnerName(record, scratch);
    for (std::size_t i = 0; i < accounts.size(); ++i) {
        if (platform::EqualNoCase(name, accounts[i])) return i;
    }
    return kNoOwner;
}

void AppendPayload(std::string_view record, std::string& result) {
    const bool escaped = wire::ExtractField(record, wire::kSectionSeparator, 3) == kEscapedRecordMarker;
    std::string_view payload = wire::ExtractField(record, wire::kSectionSeparator, 2);
    // Empty payloads add nothing, not even a separator, until the result holds text.
    if (!result.empty()) result.push_back(wire::kItemSeparator);
    if (escaped) {
        result.append(Unescaped(payload));
    } else {
        result.append(payload);
    }
}

bool AppendPayloadIfFor(std::string_view record, std::string_view account, std::string& result) {
    std::string scratch;
    if (!platform::EqualNoCase(OwnerName(record, scratch), account)) return false;
    AppendPayload(record, result);
    return true;
}

void KeepRecords(std::string& text, const std::vector<std::size_t>& dropped) {
    std::string kept;
    kept.reserve(text.size() + 2);
    auto next = dropped.begin();
    ForEachRecord(text, [&](std::string_view record, std::size_t offset) {
        if (next != dropped.end() && *next == offset) {
            ++next;
            return;
        }
        kept.append(record).append(kLineEnd);
    });
    text = std::move(kept);
}

std::size_t CountQueuedRecords(std::string_view text) {
    std::size_t count = 0;
    ForEachRecord(text, [&count](std::string_view, std::size_t) { ++count; });
    return count;
}

bool TakeRecords(std::string& text, std::string_view account, std::string& result) {
    std::vector<std::size_t> taken;
    ForEachRecord(text, [&](std::string_view record, std::size_t offset) {
        if (AppendPayloadIfFor(record, account, result)) taken.push_back(offset);
    });
    KeepRecords(text, taken);
    return !taken.empty();
}

} // namespace vserver::accounts
