#pragma once
// Preference values of the clients: single values read from and written to profile files
// below the users folder, usually the account's own preference file. A request names the file
// by account (and optionally a path relative to the users folder) and carries a list of items
// "key 0xB0 section 0xB0 value-or-default" separated by 0xA6.

#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "platform/DurableWrites.h"

namespace vserver::accounts {

// The longest value a read answers with; longer stored values are cut.
inline constexpr std::size_t kMaxPreferenceValueLength = 260;

// The full form of the file a request names: usersFolder/fileName when fileName is given (a
// "\" in it read as a separator), else usersFolder/account/account + "VantorelSettings.vts".
// Nothing when that file would lie outside the users folder.
std::optional<std::string> PreferenceFilePath(const std::string& usersFolder, std::string_view account,
                                              std::string_view fileName);

// True when path, a full form as PreferenceFilePath gives it, lies inside the home folder of
// account (named in any capitals). An empty name, or one that names no single folder directly
// below the users folder, has no home folder.
bool IsInHomeFolder(const std::string& usersFolder, std::string_view account, std::string_view path);

// The body of the read answer: "key 0xB0 value" for every item with a key and a section,
// joined by 0xA6. A file outside the users folder, by its spelling or through a link on the
// way, answers every item with its default.
std::string ReadPreferences(const std::string& usersFolder, std::string_view account,
                            std::string_view fileName, std::string_view items);

// Writes every item with a key and a section. A file outside the users folder, or an item
// whose text would break the file's line structure, is not written (with a service-log line).
// Always true, as no client is told about a failed write.
// The values of one request go into the file with one replacement, synced before this returns.
bool WritePreferences(const std::string& usersFolder, std::string_view account, std::string_view fileName,
                      std::string_view items);

// Judges, for one write, the file a request's path leads to below the users folder (its path as
// stored, every link on the way followed): true lets the write go ahead.
using PreferenceWriteRule = std::function<bool(const std::string& leadsTo)>;

// Writes as WritePreferences does without holding up the loop: done runs on the loop once the
// new content is on disk (file and folder), or at once when nothing is written. Writes to one
// file take turns: this one reads the file only after every earlier write to it is in place,
// so it never starts from content that such a write is about to replace. mayWrite, when given,
// is asked with the very place the write then goes to.
void WritePreferences(platform::SyncWorker& syncs, const std::string& usersFolder, std::string_view account,
                      std::string_view fileName, std::string_view items, std::function<void()> done,
                      PreferenceWriteRule mayWrite = {});

// The stored value, cut to 260 bytes. A missing section or key gives defaultValue without its
// trailing blanks (cut the same way); a missing file, or an empty result, gives defaultValue
// as it is.
std::string ReadPreferenceValue(const std::string& path, std::string_view section, std::string_view key,
                                std::string_view defaultValue);

// Writes key=value into section, clearing the file's read-only attribute for good first.
// False when that attribute cannot be cleared; the outcome of the write itself is not told.
bool WritePreferenceValue(const std::string& path, std::string_view section, std::string_view key,
                          std::string_view value);

} // namespace vserver::accounts
