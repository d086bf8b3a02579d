#pragma once
// Entries below one folder (the users folder), reached so that no step of the way leaves that
// folder, even while another process swaps a folder on the way for a symbolic link, or for a
// link to "..", between two requests or in the middle of one.
//
// Names are found as everywhere in the file system layer: each component by its exact name,
// else by the first entry of its folder whose name matches without regard to case.
//
// POSIX systems: every step is opened relative to the folder the step before it reached, never
// by a path. A symbolic link below the folder is followed only as far as it leads to the folder
// or below it; that is decided while the link is being followed, not checked beforehand, so a
// link swapped in after any check is met by the open itself. A PlaceBeneath keeps the folder
// that holds its entry open, so what is done with the place happens in that very folder,
// whatever becomes of the names on the way meanwhile.
//
// Windows: every folder on the way is held open while the place lives, so that none of them
// can be renamed, removed or replaced, and a reparse point (a junction, a symbolic link, a
// mount point) on any step below the folder is refused, whether it leads out or not.
//
// The folder itself, and everything above it, may lead anywhere: an administrator may keep
// the users folder behind a link.

#include <cerrno>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/DurableWrites.h"
#include "platform/RecordAppend.h"
#include "platform/SysResult.h"

namespace vserver::platform {

// The error a step that would leave the folder reports, as Linux reports it.
inline constexpr int kOutsideError = EXDEV;

struct PlaceBeneath {
    enum class Outcome {
        Found,     // an existing entry
        Missing,   // no entry of that name; its folder exists, and a new entry would take name
        NoFolder,  // a folder on the way is missing or not a folder
        Outside,   // a step leads out of the folder (on Windows: any reparse point on the way)
    };
    // The backend's hold on the folder that holds the entry (and, on Windows, on every folder
    // on the way to it). Shared by the places of one folder's entries.
    struct Folder;

    Outcome outcome = Outcome::NoFolder;
    std::string path;   // the folder and the way to the entry as stored (links followed), for
                        // messages; empty for NoFolder and Outside
    std::string name;   // the entry's name in its folder: as stored, or as asked when Missing
    bool isFolder = false;
    bool isLink = false;     // only where the last link is kept (FinalLink::Keep)
    bool readOnly = false;   // of the entry itself
    std::string stored;      // the backend's own spelling of the entry where it differs from
                             // name and path (names kept in another encoding); else empty
    std::shared_ptr<const Folder> folder;

    bool found() const { return outcome == Outcome::Found; }
};

// What a symbolic link in the last component means: followed (as long as it stays below the
// folder), or the entry itself, as a removal wants it.
enum class FinalLink { Follow, Keep };

// Where relative (components separated by "/" or the system's separator) leads below folder.
// "." parts are skipped; ".." parts step back, never above folder.
PlaceBeneath FindBeneath(std::string_view folder, std::string_view relative, FinalLink last = FinalLink::Follow);

// The entries of the folder that place names, each as a place in it, in the order the file
// system lists them; their links are kept, not followed. Fails with ENOTDIR when the place is
// no longer a folder reached below the folder (it was swapped meanwhile). The entries hold the
// folder: on Windows it cannot be removed until they are gone.
SysResult ListBeneath(const PlaceBeneath& place, std::vector<PlaceBeneath>& entries);

// The whole content of relative below folder, the quickest way the system allows. Fails with
// ENOENT when there is no such file and with kOutsideError when a step would leave folder.
SysResult ReadFileBeneath(std::string_view folder, std::string_view relative, std::string& out);

// The whole content of the file at a found place.
SysResult ReadWholeFile(const PlaceBeneath& place, std::string& out);

// Gives the entry at place its owner's write permission back (the read-only attribute).
SysResult ClearReadOnly(const PlaceBeneath& place);

// Removes the entry at place: a file or a link (never what it leads to), or an empty folder.
SysResult RemoveEntry(const PlaceBeneath& place);

// Creates a folder at a missing place.
SysResult CreateFolder(const PlaceBeneath& place);

// Copies the file at from into a new file at to (a missing place); fails with EEXIST when an
// entry of to's name appeared meanwhile, and leaves no partial file behind.
SysResult CopyFileNoOverwrite(const PlaceBeneath& from, const PlaceBeneath& to);

// StageReplacement for the file at place (found or missing): the temporary is made in the
// place's own folder and renamed there, so neither can end up elsewhere.
SysResult StageReplacement(const PlaceBeneath& place, std::string_view content, UnsyncedWrite& unsynced);

// AppendNulTerminated (and AppendNulTerminatedUnsynced with unsynced) for the file at place.
SysResult AppendNulTerminated(const PlaceBeneath& place, std::string_view text, AppendOpen how, LockWait wait,
                              UnsyncedWrite* unsynced = nullptr);

} // namespace vserver::platform
