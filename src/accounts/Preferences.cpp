#include "accounts/Preferences.h"

#include <vector>

#include "accounts/AccountStore.h"
#include "platform/FileSystem.h"
#include "platform/PathText.h"
#include "platform/ProcessInfo.h"
#include "platform/ProfileFile.h"
#include "platform/TextCase.h"
#include "settings/ServiceLog.h"
#include "wire/Fields.h"

namespace vserver::accounts {

namespace {

struct Item {
    std::string_view key;
    std::string_view section;
    std::string_view value;
};

// Calls visit for every item from the first up to the first empty one, skipping items whose
// key or section is empty.
template <typename Visit>
void ForEachItem(std::string_view items, Visit visit) {
    for (int k = 1;; ++k) {
        std::string_view item = wire::ExtractField(items, wire::kSectionSeparator, k);
        if (item.empty()) return;
        Item parsed{wire::ExtractField(item, wire::kItemSeparator, 1),
                    wire::ExtractField(item, wire::kItemSeparator, 2),
                    wire::ExtractField(item, wire::kItemSeparator, 3)};
        if (!parsed.key.empty() && !parsed.section.empty()) visit(parsed);
    }
}

bool HoldsLineBreak(std::string_view text) { return text.find_first_of("\r\n") != std::string_view::npos; }

// A key, section or value that, once written, would read back as something else or add lines
// of its own (a second key, a new section) to the user's file.
bool BreaksFileStructure(const Item& item) {
    std::size_t keyStart = item.key.find_first_not_of(" \t");
    bool keyLooksLikeOtherLine = keyStart != std::string_view::npos &&
                                 (item.key[keyStart] == '[' || item.key[keyStart] == ';');
    return HoldsLineBreak(item.key) || HoldsLineBreak(item.section) || HoldsLineBreak(item.value) ||
           item.key.find('=') != std::string_view::npos || item.section.find(']') != std::string_view::npos ||
           keyLooksLikeOtherLine;
}

void LogRefusedPath(const std::string& usersFolder, std::string_view account, std::string_view fileName) {
    std::string line = "Preference file outside the user directory refused: ";
    line.append(usersFolder).push_back(platform::kPathSeparator);
    if (fileName.empty()) {
        line.append(account);
    } else {
        line.append(fileName);
    }
    settings::WriteServiceLog(line);
}

std::string CutToValueLimit(std::string_view text) {
    return std::string(text.substr(0, kMaxPreferenceValueLength));
}

} // namespace

std::optional<std::string> PreferenceFilePath(const std::string& usersFolder, std::string_view account,
                                              std::string_view fileName) {
    std::string joined = usersFolder;
    joined.push_back(platform::kPathSeparator);
    if (fileName.empty()) {
        std::string native = platform::ClientPathToNative(account);
        joined.append(native).push_back(platform::kPathSeparator);
        joined.append(native).append(kPreferenceFileSuffix);
    } else {
        joined.append(platform::ClientPathToNative(fileName));
    }
    std::string full = platform::FullPathForm(joined);
    if (!platform::IsStrictlyInside(full, platform::FullPathForm(usersFolder))) return std::nullopt;
    return full;
}

bool IsInHomeFolder(const std::string& usersFolder, std::string_view account, std::string_view path) {
    if (account.empty() || HoldsInvalidAccountCharacters(account)) return false;
    const std::string users = platform::FullPathForm(usersFolder);
    if (!platform::IsStrictlyInside(path, users)) return false;
    std::string_view below = path.substr(users.size() + (users.back() == platform::kPathSeparator ? 0 : 1));
    std::size_t separator = below.find(platform::kPathSeparator);
    return separator != std::string_view::npos && platform::EqualNoCase(below.substr(0, separator), account);
}

std::string ReadPreferences(const std::string& usersFolder, std::string_view account, std::string_view fileName,
                            std::string_view items) {
    auto path = PreferenceFilePath(usersFolder, account, fileName);
    if (!path) LogRefusedPath(usersFolder, account, fileName);
    std::string body;
    ForEachItem(items, [&](const Item& item) {
        if (!body.empty()) body.push_back(wire::kSectionSeparator);
        body.append(item.key).push_back(wire::kItemSeparator);
        body.append(path ? ReadPreferenceValue(*path, item.section, item.key, item.value) : std::string(item.value));
    });
    return body;
}

std::string PreferenceAnswer(long long requestId, std::string_view body) {
    std::string answer = "202";
    answer.push_back(wire::kFieldSeparator);
    wire::AppendNumber(answer, requestId);
    answer.push_back(wire::kFieldSeparator);
    answer.append(body);
    return answer;
}

bool WritePreferences(const std::string& usersFolder, std::string_view account, std::string_view fileName,
                      std::string_view items) {
    auto path = PreferenceFilePath(usersFolder, account, fileName);
    if (!path) {
        LogRefusedPath(usersFolder, account, fileName);
        return true;
    }
    // Such a file could never have been created where these files come from; the write fails
    // there without a word, and so it does here.
    std::string_view belowUsers = std::string_view(*path).substr(platform::FullPathForm(usersFolder).size());
    if (HoldsUnstorableNameCharacters(belowUsers)) return true;
    ForEachItem(items, [&](const Item& item) {
        if (BreaksFileStructure(item)) {
            settings::WriteServiceLog("Preference value not written, it would break the file: " + *path);
            return;
        }
        (void)WritePreferenceValue(*path, item.section, item.key, item.value);
    });
    return true;
}

std::string ReadPreferenceValue(const std::string& path, std::string_view section, std::string_view key,
                                std::string_view defaultValue) {
    std::optional<std::string> stored;
    // Reading by the resolved name spares a second search for the spelling on disk.
    std::optional<std::string> resolved = platform::ResolveExisting(path);
    if (!resolved || !platform::ReadProfileValue(*resolved, section, key, stored)) {
        return std::string(defaultValue);
    }
    // A missing key reads as the default, which the value limit cuts like a stored value.
    std::string value = CutToValueLimit(stored ? *stored : defaultValue);
    return value.empty() ? std::string(defaultValue) : value;
}

bool WritePreferenceValue(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view value) {
    std::vector<platform::DirectoryEntry> found;
    if (platform::FindEntries(path, found) && !found.empty()) {
        std::string fullPath(platform::FolderPartOf(path));
        fullPath.push_back(platform::kPathSeparator);
        fullPath.append(found.front().name);
        bool readOnly = false;
        if (platform::EqualNoCase(fullPath, path) && platform::IsReadOnly(path, readOnly) && readOnly &&
            !platform::ClearReadOnly(path)) {
            return false;
        }
    }
    (void)platform::WriteProfileValue(path, section, key, value);
    return true;
}

} // namespace vserver::accounts
