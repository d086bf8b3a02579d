#pragma once
// Writing files through an open folder: the temporary of a replacement or of a copy is made in
// that folder and renamed there, so that neither can end up in another folder, whatever is
// renamed or swapped for a link on the way to it meanwhile. Shared by the path functions of
// FileSystem.h and the place functions of Beneath.h.

#include <sys/stat.h>

#include <string>
#include <string_view>

#include "platform/DurableWrites.h"
#include "platform/SysResult.h"

namespace vserver::platform {

// StageReplacement of target (its path as stored, for messages; its name is taken in folder).
// keptMode: the permission bits of the file it replaces, nullptr for a new file.
SysResult StageReplacementIn(int folder, const std::string& target, const mode_t* keptMode, std::string_view content,
                             UnsyncedWrite& unsynced);

// Copies the open file source (of status sourceStatus) into a new file target in folder, moved
// into place whole and only when no entry of that name exists by then (EEXIST otherwise); the
// file and the folder are synced.
SysResult CopyIntoFolder(int source, const struct stat& sourceStatus, int folder, const std::string& target);

} // namespace vserver::platform
