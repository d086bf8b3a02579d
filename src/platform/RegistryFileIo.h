#pragma once
// The registry file on disk: reading it whole, telling one version of it from another, and its
// locked read-change-replace. What the file says and how a change edits it is RegistryFile's
// (formats/); this is the reading and the writing, whose lock and replacement each backend makes
// with its own calls. Nothing stays open between calls.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "formats/RegistryFile.h"
#include "platform/SysResult.h"

namespace vserver::platform {

// What tells one version of the file from another without reading it.
struct RegistryFileStamps {
    bool exists = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::uint64_t size = 0;
    std::int64_t modified = 0;  // nanoseconds
    std::int64_t changed = 0;   // nanoseconds
    // Changed long enough ago that a later change of the same size cannot carry the same
    // times: only then do equal stamps mean an unchanged file.
    bool settled = false;
    bool SameVersion(const RegistryFileStamps& other) const;
    // The same file with the same size and modification time; its change time may differ,
    // as a rename changes it.
    bool SameData(const RegistryFileStamps& other) const;
};

// Reads the file at path. A missing file is an empty registry and no error; an unreadable
// one gives the failed call. stamps (when given) describe the version that was read. A file
// that another program keeps changing while it is read is read again a few times; when it
// never holds still, what was read last is kept with a doubt about the whole file.
SysResult LoadRegistryFile(const std::string& path, RegistryFile& out, std::vector<std::string>* problems = nullptr,
                           RegistryFileStamps* stamps = nullptr);

// The stamps of the file at path now (exists is false for a missing file).
SysResult ReadRegistryFileStamps(const std::string& path, RegistryFileStamps& out);

// Ok when a copy that was read may be changed and written back: a failure when some line could
// not be read (what a person meant there cannot be known) or when another program changed the
// file while it was read.
SysResult RegistryFileWritable(const RegistryFile& file);

// Applies change to the newest content of the file under an exclusive lock, then replaces
// the file by writing a temporary file and renaming it, so a crash never leaves a torn file
// and two processes never lose each other's values. When change returns false nothing is
// written. A file that RegistryFileWritable refuses is left as it is, with its failure.
SysResult UpdateRegistryFile(const std::string& path, const std::function<bool(RegistryFile&)>& change);
// As UpdateRegistryFile, but never waits for the lock: while another process holds it the
// result is a failure for which IsLockBusy is true and nothing was changed.
SysResult TryUpdateRegistryFile(const std::string& path, const std::function<bool(RegistryFile&)>& change);

// The registry file named by a non-empty $VSERVER_REGISTRY, or nothing.
std::optional<std::string> ChosenRegistryFile();

// The registry file of this installation: $VSERVER_REGISTRY, or VServerService.reg in the
// executable's folder.
std::string RegistryFilePath();

} // namespace vserver::platform
