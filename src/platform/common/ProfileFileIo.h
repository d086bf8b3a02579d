#pragma once
// Profile files on disk: one value read, or values written by replacing the whole file, so a
// file is never left torn. What the file says and how a value is set in it is ProfileFile's
// (formats/).

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "formats/ProfileFile.h"
#include "platform/DurableWrites.h"
#include "platform/SysResult.h"

namespace vserver::platform {

// Reads one value of the file at path (found without regard to case). A missing file reads as
// missing section and key: value is then nothing and the result is Ok.
SysResult ReadProfileValue(std::string_view path, std::string_view section, std::string_view key,
                           std::optional<std::string>& value);

// Writes key=value into section of the file at path, creating the file, the section and the
// key as needed. The file is replaced as a whole (never left torn); its folder must exist.
SysResult WriteProfileValue(std::string_view path, std::string_view section, std::string_view key,
                            std::string_view value);

// Writes every entry, in order, as WriteProfileValue does, with one replacement of the file
// whose sync, rename and folder sync are left to unsynced (see StageReplacement).
SysResult StageProfileValues(std::string_view path, std::span<const ProfileEntry> entries, UnsyncedWrite& unsynced);

struct PlaceBeneath;
// The same for the file at a place below a folder (found, or missing in a folder that exists).
SysResult StageProfileValues(const PlaceBeneath& place, std::span<const ProfileEntry> entries, UnsyncedWrite& unsynced);

} // namespace vserver::platform
