#include "platform/DurableWrites.h"
#include "platform/FileSystem.h"
#include "platform/TemporaryFile.h"

namespace vserver::platform {

// The replacement of a backend's staged write, completed at once on the calling thread.
SysResult ReplaceFileContent(std::string_view path, std::string_view content) {
    UnsyncedWrite write;
    if (SysResult staged = StageReplacement(path, content, write); !staged) return staged;
    const std::string target = write.target;
    write.syncFolder = false;
    if (SysResult replaced = CompleteWrite(write); !replaced) return replaced;
    // The rename is durable only once the folder is on disk too; failing that only weakens
    // durability across a power loss, the new content is in place for every reader.
    (void)SyncFolderOf(target);
    return SysResult::Ok();
}

} // namespace vserver::platform
