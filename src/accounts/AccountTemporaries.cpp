#include "accounts/AccountTemporaries.h"

#include <vector>

#include "accounts/FolderRemoval.h"
#include "platform/FileSystem.h"
#include "platform/SystemTraits.h"
#include "platform/TemporaryFile.h"
#include "platform/common/TemporaryName.h"
#include "settings/ServiceLog.h"

namespace vserver::accounts {

namespace {

constexpr std::string_view kCreation = "new";
constexpr std::string_view kDeletion = "deleted";

// A name of the temporaries' form, cut into its kind and what follows the kind ("<pid>-<n>").
struct TemporaryParts {
    std::string_view kind;
    std::string_view rest;
};

TemporaryParts PartsOf(std::string_view name) {
    if (name.size() < 2 || name.front() != '.') return {};
    for (std::string_view kind : {kCreation, kDeletion}) {
        std::string mark = ".";
        mark.append(kind).push_back('-');
        // The account's own name may hold the mark too; the last one is the temporary's.
        const std::size_t at = name.rfind(mark);
        if (at == std::string_view::npos || at == 0) continue;
        std::string_view rest = name.substr(at + mark.size());
        if (platform::TemporaryWriterOf(rest) != 0) return {kind, rest};
    }
    return {};
}

void Log(std::string_view message, const std::string& path) {
    std::string line(message);
    line.append(path);
    settings::WriteServiceLog(line);
}

} // namespace

std::string CreationTemporaryFor(const std::string& home) { return platform::TemporaryNameFor(home, kCreation); }

std::string DeletionTemporaryFor(const std::string& storedHome) {
    return platform::TemporaryNameFor(storedHome, kDeletion);
}

bool IsAccountTemporary(std::string_view name) { return !PartsOf(name).kind.empty(); }

void ClearAccountTemporaries(const std::string& usersFolder) {
    std::vector<platform::DirectoryEntry> entries;
    (void)platform::FindEntries(usersFolder + platform::kPathSeparator + "*", entries);
    for (const platform::DirectoryEntry& entry : entries) {
        const TemporaryParts parts = PartsOf(entry.name);
        if (parts.kind.empty() || !(entry.isFolder || entry.isLink)) continue;
        if (!platform::TemporaryWriterGone(parts.rest)) continue;
        const std::string path = usersFolder + platform::kPathSeparator + entry.name;
        if (!RemoveFolderTree(path)) {
            Log("Unable to remove the folder an interrupted account change left: ", path);
        } else if (parts.kind == kCreation) {
            Log("Removed the unfinished folder of an interrupted account creation: ", path);
        } else {
            Log("Removed the folder of an account whose deletion was interrupted: ", path);
        }
    }
}

} // namespace vserver::accounts
