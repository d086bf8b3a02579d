#pragma once
// Folders that appear whole or not at all. A new folder is built aside under a temporary name
// (TemporaryNameFor with a kind of its own) and moved to its final name once everything in it
// is on disk (an UnsyncedWrite with wholeFolder set); a folder that goes is first moved out of
// sight under such a name, so that nobody ever finds it half removed.
//
// Except for the source of CopyIntoStagedFolder, these calls take paths as stored and do no
// lookup without regard to case, so the sync thread may call them as well as the loop.

#include <string>
#include <string_view>

#include "platform/Beneath.h"
#include "platform/DurableWrites.h"
#include "platform/SysResult.h"

namespace vserver::platform {

// Copies the existing file at from (a place below the users folder, read through the folder
// that holds it, never through a link in its place) into the new file to, inside a folder
// being built aside. Where the backend syncs in the background, the copy's data is left to
// unsynced (its file); elsewhere it is on disk when this returns. On failure no file named to
// is left behind.
SysResult CopyIntoStagedFolder(const PlaceBeneath& from, const std::string& to, UnsyncedWrite& unsynced);

// Renames from to to, never replacing anything: fails with EEXIST when an entry named to
// exists, an empty folder included.
SysResult MoveNoReplace(const std::string& from, const std::string& to);

// Removes a folder built aside together with the files directly in it; nothing deeper is ever
// built there. What cannot be removed stays, for the start-up's clearing to find.
void RemoveStagedFolder(const std::string& folder);

} // namespace vserver::platform
