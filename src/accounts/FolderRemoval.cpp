#include "accounts/FolderRemoval.h"

#include <string_view>
#include <vector>

#include "platform/Beneath.h"
#include "platform/FileSystem.h"
#include "platform/SystemTraits.h"
#include "platform/common/PathText.h"
#include "settings/ServiceLog.h"

namespace vserver::accounts {

namespace {

using platform::PlaceBeneath;

void Log(std::string_view message, const std::string& path) {
    std::string line(message);
    line.append(path);
    settings::WriteServiceLog(line);
}

// Clears the read-only attribute of the entry when it is set. An entry that is not there any
// more counts as one that cannot be made writable.
bool MakeWritable(const PlaceBeneath& entry) {
    return entry.found() && (!entry.readOnly || platform::ClearReadOnly(entry).ok());
}

bool RemoveTree(const PlaceBeneath& folder, const std::string& shown);

// Removes one entry of the folder shown as folderShown (the path the log lines name).
bool RemoveInside(const std::string& folderShown, const PlaceBeneath& entry) {
    std::string full = folderShown + platform::kPathSeparator + entry.name;
    if (!entry.isLink) {
        if (!MakeWritable(entry)) {
            Log("Unable to remove read-only bit from path: ", folderShown);
            return false;
        }
        if (entry.isFolder) return RemoveTree(entry, full);
    }
    if (!platform::RemoveEntry(entry)) {
        Log("Unable to delete path: ", full);
        return false;
    }
    return true;
}

// Every entry is reached through the folder that holds it, opened without following a link, so
// a sub-folder swapped for a link while the tree is removed loses the link, never what it
// leads to.
bool RemoveTree(const PlaceBeneath& folder, const std::string& shown) {
    // A home folder that is a link to a folder elsewhere loses the link, not the folder's
    // content, which belongs to somebody else.
    if (folder.isLink) {
        if (platform::RemoveEntry(folder)) return true;
        Log("Unable to delete path: ", shown);
        return false;
    }
    if (!MakeWritable(folder)) {
        Log("Unable to remove read-only bit from path: ", shown);
        return false;
    }
    {
        // The entries hold the folder open; they are let go before the folder is removed.
        std::vector<PlaceBeneath> entries;
        (void)platform::ListBeneath(folder, entries);
        for (const auto& entry : entries) {
            if (!RemoveInside(shown, entry)) return false;
        }
    }
    if (!platform::RemoveEntry(folder)) {
        Log("Unable to delete path: ", shown);
        return false;
    }
    return true;
}

} // namespace

bool RemoveFolderTree(const std::string& path) {
    const std::string parent = platform::FullPathForm(platform::FolderPartOf(path));
    PlaceBeneath folder = platform::FindBeneath(parent, platform::LastComponentOf(path), platform::FinalLink::Keep);
    return RemoveTree(folder, path);
}

} // namespace vserver::accounts
