#pragma once
// The bytes of a queue file: "account 0xA6 payload CR LF" records, cut at CR and trimmed when
// read, and the one NUL that ends the file. Only text in and text out; the file itself is
// Queues' business.
//
// A payload (or account) holding CR or LF cannot be stored as is, because readers cut records
// at CR. Such a record is stored as "account 0xA6 escaped-payload 0xA6 escaped-lines": in the
// escaped texts "\" is written "\\", CR "\r" and LF "\n". Readers of the plain format take the
// first two fields only, so they still see one record with the payload's lines joined by
// visible "\r\n"; this code restores the exact bytes. Every other record is stored byte for
// byte in the plain format, and plain files written by other tools are read as before.

#include <algorithm>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace vserver::accounts {

inline constexpr std::string_view kEscapedRecordMarker = "escaped-lines";

// The record text QueueItem appends, CR LF included.
std::string EncodeQueueRecord(std::string_view account, std::string_view payload);

// A record as read: the piece between two CRs (up to the first NUL) without blanks, tabs, CR
// and LF at its ends; empty when nothing else is left.
std::string_view TrimRecord(std::string_view piece);

// Calls visit(record, offset) for every record of text in file order, empty ones skipped.
// offset is where the trimmed record starts in text.
template <typename Visit>
void ForEachRecord(std::string_view text, Visit&& visit) {
    const std::size_t end = std::min(text.find('\0'), text.size());
    std::size_t read = 0;
    while (read < end) {
        std::size_t cut = std::min(text.find('\r', read), end);
        std::string_view record = TrimRecord(text.substr(read, cut - read));
        if (!record.empty()) visit(record, static_cast<std::size_t>(record.data() - text.data()));
        read = cut + 1;
    }
}

// When record belongs to account (compared without regard to case), appends its payload to
// result (after a 0xB0 when result already holds text) and answers true.
bool AppendPayloadIfFor(std::string_view record, std::string_view account, std::string& result);

inline constexpr std::size_t kNoOwner = static_cast<std::size_t>(-1);
// The first of accounts that record belongs to (compared without regard to case), or kNoOwner.
std::size_t OwnerOf(std::string_view record, std::span<const std::string> accounts);
// Appends record's payload to result, after a 0xB0 when result already holds text.
void AppendPayload(std::string_view record, std::string& result);

// Rewrites text as the records a queue file keeps: every record except those starting at the
// offsets in dropped (ascending, as ForEachRecord gave them), each followed by CR LF, without
// the final NUL.
void KeepRecords(std::string& text, const std::vector<std::size_t>& dropped);

// How many records text (a queue file's bytes) holds, cut and trimmed as collections cut them.
std::size_t CountQueuedRecords(std::string_view text);

// Takes account's records out of text (a queue file's bytes): their payloads are appended to
// result, joined by 0xB0, and text is left holding the other records as KeepRecords leaves
// them. True when account had a record.
bool TakeRecords(std::string& text, std::string_view account, std::string& result);

} // namespace vserver::accounts
