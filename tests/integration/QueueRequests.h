#pragma once
// Requests and file reading that the queue tests share: queueing and collecting items, and
// the payloads a queue file holds.

#include <string>
#include <vector>

#include "client/ProtocolClient.h"
#include "support/TestFiles.h"

namespace vserver::test {

inline client::Request Queue(long long id, const std::string& account, const std::string& payload) {
    return client::Request{.id = id, .type = 810, .argument1 = account, .argument2 = payload};
}

inline client::Request Collect(long long id, const std::string& account) {
    return client::Request{.id = id, .type = 208, .account = account};
}

inline std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts;
    if (text.empty()) return parts;
    std::size_t start = 0;
    for (std::size_t cut; (cut = text.find(separator, start)) != std::string::npos; start = cut + 1) {
        parts.push_back(text.substr(start, cut - start));
    }
    parts.push_back(text.substr(start));
    return parts;
}

// The payloads of a queue file's records, and whether the file is whole (records, one NUL).
struct QueueFile {
    std::vector<std::string> payloads;
    bool whole = true;
};

inline QueueFile ReadQueue(const std::string& path) {
    QueueFile queue;
    if (!PathExists(path)) return queue;
    std::string text = ReadFile(path);
    if (text.empty()) return queue;
    queue.whole = text.back() == '\0' && text.find('\0') == text.size() - 1;
    text.pop_back();
    for (const std::string& record : Split(text, '\n')) {
        if (record.empty()) continue;
        std::size_t mark = record.find('\xA6');
        if (mark == std::string::npos || record.back() != '\r') {
            queue.whole = false;
            continue;
        }
        queue.payloads.push_back(record.substr(mark + 1, record.size() - mark - 2));
    }
    return queue;
}

} // namespace vserver::test
