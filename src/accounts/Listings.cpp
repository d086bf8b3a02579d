#include "accounts/Listings.h"

#include <algorithm>
#include <string_view>
#include <vector>

#include "accounts/AccountStore.h"
#include "accounts/AccountTemporaries.h"
#include "formats/TextCase.h"
#include "platform/Beneath.h"
#include "platform/FileSystem.h"
#include "platform/SystemTraits.h"
#include "platform/common/PathText.h"
#include "settings/ServiceLog.h"
#include "wire/Reply.h"

namespace vserver::accounts {

namespace {

// The entry name without its last extension ("ToolbarSet_Math.vts" gives "ToolbarSet_Math").
std::string_view TitleOf(std::string_view name) {
    std::size_t dot = name.rfind('.');
    return dot == std::string_view::npos ? name : name.substr(0, dot);
}

// True for an entry that is no link, or a link that leads to an entry below the users folder
// (to a folder, when folder is set): one that leads out of it names nothing a client may use.
bool LeadsBeneath(const std::string& usersFolder, const platform::DirectoryEntry& entry, bool folder) {
    if (!entry.isLink) return true;
    platform::PlaceBeneath place = platform::FindBeneath(platform::FullPathForm(usersFolder), entry.name);
    return place.found() && (!folder || place.isFolder);
}

std::string ToolbarSetFileName(std::string_view setName) {
    std::string name = kToolbarSetPrefix;
    name.append(setName).append(kToolbarSetExtension);
    return name;
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
    std::erase_if(entries, [&](const platform::DirectoryEntry& entry) {
        return !entry.isFolder || IsAccountTemporary(entry.name) || !LeadsBeneath(usersFolder, entry, true);
    });
    std::size_t length = 0;
    for (const auto& entry : entries) length += entry.name.size();
    std::string list;
    if (entries.empty()) return list;
    list.reserve(length + entries.size() - 1);
    wire::ListWriter names(list);
    for (const auto& entry : entries) names.Entry(entry.name);
    return list;
}

std::string ListToolbarSets(const std::string& usersFolder) {
    std::vector<platform::DirectoryEntry> entries;
    (void)platform::FindEntries(usersFolder + platform::kPathSeparator + ToolbarSetFileName("*"), entries);

    const std::size_t prefixLength = std::string_view(kToolbarSetPrefix).size();
    std::string list;
    wire::ListWriter names(list);
    for (const auto& entry : entries) {
        std::string_view title = TitleOf(entry.name);
        std::string_view setName = title.size() > prefixLength ? title.substr(prefixLength) : std::string_view{};
        if (platform::UpperCase(setName) == "CLASSIC" || !LeadsBeneath(usersFolder, entry, false)) continue;
        names.Entry(setName);
    }
    return list;
}

bool ToolbarSetExists(const std::string& usersFolder, std::string_view setName) {
    const std::string name = ToolbarSetFileName(setName);
    if (!platform::HasWildcard(name)) {
        return platform::FindBeneath(platform::FullPathForm(usersFolder), name).found();
    }
    // A search pattern is matched in the users folder itself, never in a folder its name leads to.
    if (!platform::FolderPartOf(name).empty()) return false;
    std::vector<platform::DirectoryEntry> found;
    (void)platform::FindEntries(usersFolder + platform::kPathSeparator + name, found);
    return std::any_of(found.begin(), found.end(),
                       [&](const platform::DirectoryEntry& entry) { return LeadsBeneath(usersFolder, entry, false); });
}

} // namespace vserver::accounts
