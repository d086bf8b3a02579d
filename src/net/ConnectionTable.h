#pragma once
// The table of connections: owns every ConnectionRecord, keeps them newest first (the order
// of every listing), and indexes them by connection index and by account name so that each
// lookup is one hash probe. Several records may hold one account; the newest is found first.
// It also counts the connections of each client address.

#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "net/ConnectionRecord.h"

namespace vserver::net {

class ConnectionTable {
public:
    // Puts a new record at the front and gives it the next serial. Its index must be higher
    // than every index in the table.
    ConnectionRecord& Insert(std::unique_ptr<ConnectionRecord> record);
    // Unlinks the record and hands it back; nothing when the index is not in the table.
    std::unique_ptr<ConnectionRecord> Remove(int index);

    ConnectionRecord* Find(int index) const;
    // Index of the newest record whose account name equals name exactly; -1 when none does.
    int FindIndexByAccount(std::string_view name) const;
    void SetAccountName(ConnectionRecord& record, std::string name);
    void SetClientKind(ConnectionRecord& record, int kind);
    // Records logged on as the administrator console.
    int consoleCount() const { return consoleCount_; }
    // Records logged on with any client kind, consoles included.
    int loggedOnCount() const { return loggedOnCount_; }

    // The connections one client address holds, and whether connections from it are being
    // refused for passing the limit, so that a run of refusals is told once. An address
    // without connections has no entry.
    struct AddressUse {
        int connections = 0;
        bool refusing = false;
    };
    AddressUse* UseOf(const platform::NetAddress& address);

    // The highest index in use, 0 for an empty table.
    int HighestIndex() const { return newest_ ? newest_->index : 0; }
    std::size_t size() const { return byIndex_.size(); }
    bool empty() const { return byIndex_.empty(); }
    ConnectionRecord* newest() const { return newest_; }

private:
    struct NameHash {
        using is_transparent = void;
        std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
    };

    void IndexAccount(ConnectionRecord& record);
    void UnindexAccount(ConnectionRecord& record);

    ConnectionRecord* newest_ = nullptr;
    int consoleCount_ = 0;
    int loggedOnCount_ = 0;
    std::uint64_t nextSerial_ = 1;
    ConnectionRecord* oldest_ = nullptr;
    std::unordered_map<int, std::unique_ptr<ConnectionRecord>> byIndex_;
    // Holders of each account name, newest (highest index) first.
    std::unordered_map<std::string, std::vector<ConnectionRecord*>, NameHash, std::equal_to<>> byAccount_;
    std::unordered_map<platform::NetAddress, AddressUse, platform::NetAddressHash> byAddress_;
};

} // namespace vserver::net
