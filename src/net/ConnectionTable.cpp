#include "net/ConnectionTable.h"

#include <algorithm>

namespace vserver::net {

ConnectionRecord& ConnectionTable::Insert(std::unique_ptr<ConnectionRecord> record) {
    ConnectionRecord& r = *record;
    r.serial = nextSerial_++;
    r.older = newest_;
    r.newer = nullptr;
    if (newest_) newest_->newer = &r;
    newest_ = &r;
    if (!oldest_) oldest_ = &r;
    byIndex_.emplace(r.index, std::move(record));
    IndexAccount(r);
    if (r.clientKind == wire::ClientKind::Console) ++consoleCount_;
    if (r.clientKind != wire::ClientKind::NotLoggedOn) ++loggedOnCount_;
    AddressUse& use = byAddress_[r.peerAddress];
    ++use.connections;
    use.refusing = false;
    return r;
}

std::unique_ptr<ConnectionRecord> ConnectionTable::Remove(int index) {
    auto it = byIndex_.find(index);
    if (it == byIndex_.end()) return nullptr;
    std::unique_ptr<ConnectionRecord> record = std::move(it->second);
    byIndex_.erase(it);
    UnindexAccount(*record);
    if (record->clientKind == wire::ClientKind::Console) --consoleCount_;
    if (record->clientKind != wire::ClientKind::NotLoggedOn) --loggedOnCount_;
    if (auto use = byAddress_.find(record->peerAddress); use != byAddress_.end() && --use->second.connections <= 0) {
        byAddress_.erase(use);
    }
    if (record->newer) record->newer->older = record->older; else newest_ = record->older;
    if (record->older) record->older->newer = record->newer; else oldest_ = record->newer;
    record->newer = record->older = nullptr;
    return record;
}

ConnectionRecord* ConnectionTable::Find(int index) const {
    auto it = byIndex_.find(index);
    return it == byIndex_.end() ? nullptr : it->second.get();
}

ConnectionTable::AddressUse* ConnectionTable::UseOf(const platform::NetAddress& address) {
    auto it = byAddress_.find(address);
    return it == byAddress_.end() ? nullptr : &it->second;
}

int ConnectionTable::FindIndexByAccount(std::string_view name) const {
    auto it = byAccount_.find(name);
    if (it == byAccount_.end() || it->second.empty()) return -1;
    return it->second.front()->index;
}

void ConnectionTable::SetAccountName(ConnectionRecord& record, std::string name) {
    UnindexAccount(record);
    record.accountName = std::move(name);
    IndexAccount(record);
}

void ConnectionTable::SetClientKind(ConnectionRecord& record, int kind) {
    if (record.clientKind == wire::ClientKind::Console) --consoleCount_;
    if (record.clientKind != wire::ClientKind::NotLoggedOn) --loggedOnCount_;
    record.clientKind = kind;
    if (kind == wire::ClientKind::Console) ++consoleCount_;
    if (kind != wire::ClientKind::NotLoggedOn) ++loggedOnCount_;
}

void ConnectionTable::IndexAccount(ConnectionRecord& record) {
    auto& holders = byAccount_[record.accountName];
    auto at = std::find_if(holders.begin(), holders.end(),
                           [&](const ConnectionRecord* r) { return r->index < record.index; });
    holders.insert(at, &record);
}

void ConnectionTable::UnindexAccount(ConnectionRecord& record) {
    auto it = byAccount_.find(record.accountName);
    if (it == byAccount_.end()) return;
    auto& holders = it->second;
    holders.erase(std::remove(holders.begin(), holders.end(), &record), holders.end());
    if (holders.empty()) byAccount_.erase(it);
}

} // namespace vserver::net
