#include "accounts/Listings.h"

#include <string_view>
#include <vector>

#include "accounts/AccountStore.h"
#include "accounts/AccountTemporaries.h"
#include "platform/FileSystem.h"
#include "platform/ProcessInfo.h"
#include "platform/TextCase.h"
#include "settings/ServiceLog.h"
#include "wire/Fields.h"

namespace vserver::accounts {

namespace {

// The entry name without its last extension ("ToolbarSet_Math.vts" gives "ToolbarSet_Math").
std::string_view TitleOf(std::string_view name) {
    std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? name : name.substr(0, dot);
}

} // namespace

std::string ListAccounts(const std::string& usersFolder) {
    if (!FolderExists(usersFolder)) {
        settings::WriteServiceLog("Can't find top-level user directory: " + usersFolder);
        return {};
    }
    std::vector<platform::DirectoryEntry> entries;
    (void)platform::FindEntries(usersFolder + platform::kPathSeparator + "*", entries);

    // The hidden folders of accounts being made or removed are not accounts (yet, or any more).
    auto isAccount = [](const platform::DirectoryEntry& entry) {
        return entry.isFolder && !IsAccountTemporary(entry.name);
    };
    std::size_t length = 0;
    std::size_t count = 0;
    for (const auto& entry : entries) {
        if (!isAccount(entry)) continue;
        length += entry.name.size();
        ++count;
    }
    std::string list;
    if (count == 0) return list;
    list.reserve(length + count - 1);
    for (const auto& entry : entries) {
        if (!isAccount(entry)) continue;
        if (!list.empty()) list.push_back(wire::kSectionSeparator);
        list.append(entry.name);
    }
    return list;
}

std::string ListToolbarSets(const std::string& usersFolder) {
    std::vector<platform::DirectoryEntry> entries;
    std::string pattern = usersFolder + platform::kPathSeparator + kToolbarSetPrefix + "*" + kToolbarSetExtension;
    (void)platform::FindEntries(pattern, entries);

    const std::size_t prefixLength = std::string_view(kToolbarSetPrefix).size();
    std::string list;
    for (const auto& entry : entries) {
        std::string_view title = TitleOf(entry.name);
        std::string_view setName = title.size() > prefixLength ? title.substr(prefixLength) : std::string_view{};
        if (platform::UpperCase(setName) == "CLASSIC") continue;
        if (!list.empty()) list.push_back(wire::kSectionSeparator);
        list.append(setName);
    }
    return list;
}

} // namespace vserver::accounts

