#include "platform/common/ProfileFileIo.h"

#include <cerrno>

#include "platform/Beneath.h"
#include "platform/FileSystem.h"

namespace vserver::platform {

SysResult ReadProfileValue(std::string_view path, std::string_view section, std::string_view key,
                           std::optional<std::string>& value) {
    value.reset();
    std::string text;
    SysResult read = ReadWholeFile(path, text);
    if (!read) return read.error() == ENOENT ? SysResult::Ok() : read;
    value = ProfileFile(std::move(text)).Find(section, key);
    return SysResult::Ok();
}

SysResult WriteProfileValue(std::string_view path, std::string_view section, std::string_view key,
                            std::string_view value) {
    const ProfileEntry entry{section, key, value};
    UnsyncedWrite write;
    if (SysResult staged = StageProfileValues(path, {&entry, 1}, write); !staged) return staged;
    return CompleteWrite(write);
}

SysResult StageProfileValues(std::string_view path, std::span<const ProfileEntry> entries, UnsyncedWrite& unsynced) {
    std::string text;
    SysResult read = ReadWholeFile(path, text);
    if (!read && read.error() != ENOENT) return read;
    return StageReplacement(path, WithProfileEntries(std::move(text), entries), unsynced);
}

SysResult StageProfileValues(const PlaceBeneath& place, std::span<const ProfileEntry> entries,
                             UnsyncedWrite& unsynced) {
    std::string text;
    if (place.found()) {
        if (SysResult read = ReadWholeFile(place, text); !read) return read;
    }
    return StageReplacement(place, WithProfileEntries(std::move(text), entries), unsynced);
}

} // namespace vserver::platform
