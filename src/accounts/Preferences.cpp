#include "accounts/Preferences.h"

#include <functional>
#include <vector>

#include "accounts/AccountStore.h"
#include "formats/TextCase.h"
#include "platform/Beneath.h"
#include "platform/FileSystem.h"
#include "platform/SystemTraits.h"
#include "platform/common/PathText.h"
#include "platform/common/ProfileFileIo.h"
#include "settings/ServiceLog.h"
#include "wire/Fields.h"
#include "wire/Reply.h"

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

// The file a request names: the users folder and the file as the request spells it, both in
// full form. Nothing, with a service-log line, when that spelling leads out of the users folder.
struct RequestedFile {
    std::string users;
    std::string requested;
    // The way from the users folder to the file.
    std::string_view below() const {
        std::string_view way = std::string_view(requested).substr(users.size());
        if (!way.empty() && way.front() == platform::kPathSeparator) way.remove_prefix(1);
        return way;
    }
};

std::optional<RequestedFile> NameRequestedFile(const std::string& usersFolder, std::string_view account,
                                               std::string_view fileName) {
    auto path = PreferenceFilePath(usersFolder, account, fileName);
    if (!path) {
        LogRefusedPath(usersFolder, account, fileName);
        return std::nullopt;
    }
    return RequestedFile{platform::FullPathForm(usersFolder), std::move(*path)};
}

// Reads the file a write request names once, sets every item that may be written and stages
// the new content in unsynced, which stays empty when nothing is to be written. The file is
// found, read and replaced below the users folder without any step leaving it, and mayWrite
// (when given) judges the place it leads to.
void StageWrite(const std::string& usersFolder, std::string_view account, std::string_view fileName,
                std::string_view items, const PreferenceWriteRule& mayWrite, platform::UnsyncedWrite& unsynced) {
    auto file = NameRequestedFile(usersFolder, account, fileName);
    if (!file) return;
    platform::PlaceBeneath place = platform::FindBeneath(file->users, file->below());
    if (place.outcome == platform::PlaceBeneath::Outcome::Outside) {
        LogRefusedPath(usersFolder, account, fileName);
        return;
    }
    // A file whose folder is missing (an unknown account) cannot be written.
    if (place.outcome == platform::PlaceBeneath::Outcome::NoFolder) return;
    // Such a file could never have been created where these files come from; the write fails
    // there without a word, and so it does here.
    if (HoldsUnstorableNameCharacters(file->below())) return;
    if (mayWrite && !mayWrite(place.path)) return;
    std::vector<platform::ProfileEntry> entries;
    ForEachItem(items, [&](const Item& item) {
        if (BreaksFileStructure(item)) {
            settings::WriteServiceLog("Preference value not written, it would break the file: " + file->requested);
            return;
        }
        entries.push_back({item.section, item.key, item.value});
    });
    if (entries.empty()) return;
    if (place.readOnly && !platform::ClearReadOnly(place)) return;
    (void)platform::StageProfileValues(place, entries, unsynced);
}

// A value that was written but could not be made durable (or put in place) is worth a line:
// the client was told nothing, and the file may not hold it after a power loss.
void LogFailedWrite(const std::string& path, const platform::SysResult& result) {
    if (!result) settings::WriteServiceLog("Unable to store preference file " + path + ": " + result.Describe());
}

// The answer for one item from the file's content (nothing when the file could not be read):
// the stored value cut to the value limit, or the default.
std::string ValueFrom(const platform::ProfileFile* file, std::string_view section, std::string_view key,
                      std::string_view defaultValue);

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
    auto file = NameRequestedFile(usersFolder, account, fileName);
    std::optional<platform::ProfileFile> profile;
    if (file) {
        std::string text;
        platform::SysResult read = platform::ReadFileBeneath(file->users, file->below(), text);
        if (read) profile.emplace(std::move(text));
        if (read.error() == platform::kOutsideError) LogRefusedPath(usersFolder, account, fileName);
    }
    std::string body;
    wire::ListWriter values(body, wire::kItemSeparator);
    ForEachItem(items, [&](const Item& item) {
        values.Entry(item.key).Part(ValueFrom(profile ? &*profile : nullptr, item.section, item.key, item.value));
    });
    return body;
}

bool WritePreferences(const std::string& usersFolder, std::string_view account, std::string_view fileName,
                      std::string_view items) {
    platform::UnsyncedWrite write;
    StageWrite(usersFolder, account, fileName, items, {}, write);
    if (!write.empty()) LogFailedWrite(write.target, platform::CompleteWrite(write));
    return true;
}

void WritePreferences(platform::SyncWorker& syncs, const std::string& usersFolder, std::string_view account,
                      std::string_view fileName, std::string_view items, std::function<void()> done,
                      PreferenceWriteRule mayWrite) {
    auto path = PreferenceFilePath(usersFolder, account, fileName);
    std::string orderKey = path ? platform::UpperCase(*path) : std::string();
    auto write = [&syncs, usersFolder, account = std::string(account), fileName = std::string(fileName),
                  items = std::string(items), orderKey, done = std::move(done), mayWrite = std::move(mayWrite)]() mutable {
        platform::UnsyncedWrite unsynced;
        StageWrite(usersFolder, account, fileName, items, mayWrite, unsynced);
        if (unsynced.empty()) {
            done();
            return;
        }
        std::string target = unsynced.target;
        syncs.Submit(
            std::move(unsynced),
            [target = std::move(target), done = std::move(done)](platform::SysResult result) {
                LogFailedWrite(target, result);
                done();
            },
            std::move(orderKey));
    };
    if (orderKey.empty()) {
        write();
    } else {
        syncs.AfterWritesTo(orderKey, std::move(write));
    }
}

std::string ReadPreferenceValue(const std::string& path, std::string_view section, std::string_view key,
                                std::string_view defaultValue) {
    std::string text;
    if (!platform::ReadWholeFile(path, text)) return std::string(defaultValue);
    platform::ProfileFile file(std::move(text));
    return ValueFrom(&file, section, key, defaultValue);
}

namespace {

std::string ValueFrom(const platform::ProfileFile* file, std::string_view section, std::string_view key,
                      std::string_view defaultValue) {
    if (file == nullptr) return std::string(defaultValue);
    std::optional<std::string> stored = file->Find(section, key);
    // A missing key reads as the default the profile reader gives back (without trailing
    // blanks), which the value limit cuts like a stored value.
    std::string value = CutToValueLimit(stored ? std::string_view(*stored) : platform::ProfileDefault(defaultValue));
    return value.empty() ? std::string(defaultValue) : value;
}

} // namespace

bool WritePreferenceValue(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view value) {
    auto found = platform::FindEntry(path);
    if (found && found->readOnly && !platform::ClearReadOnly(found->path)) return false;
    (void)platform::WriteProfileValue(found ? found->path : path, section, key, value);
    return true;
}

} // namespace vserver::accounts
