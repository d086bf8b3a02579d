#pragma once
// A record file held for reading and writing under the exclusive lock that every appender of
// record files takes for the length of its append, so another process that follows the same
// convention never writes while the holder reads and rewrites the file. LockedFile owns the
// open file and its lock until Close or destruction; it never waits for the lock.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/SysResult.h"

namespace vserver::platform {

class LockedFile {
public:
    enum class Outcome {
        Locked,  // the file is open and locked
        Busy,    // another holder has the lock; try again later
        Failed,  // the file cannot be opened (see failure())
    };

    LockedFile() = default;
    ~LockedFile();
    LockedFile(LockedFile&& other) noexcept;
    LockedFile& operator=(LockedFile&& other) noexcept;
    LockedFile(const LockedFile&) = delete;
    LockedFile& operator=(const LockedFile&) = delete;

    // Opens path (found without regard to case; created empty when missing) and takes its lock
    // without waiting. A file that another holder replaced or removed while this call waited
    // for nothing is opened again, so the lock always covers the file the path names.
    Outcome TryOpen(std::string_view path);
    SysResult failure() const { return failure_; }

    // The whole content of the locked file.
    SysResult ReadAll(std::string& out) const;

    // Which file is open: the same identity later means no one replaced the file meanwhile
    // (appends keep it; a rewrite by rename does not).
    struct Identity {
        std::uint64_t device = 0;
        std::uint64_t inode = 0;
        bool operator==(const Identity&) const = default;
    };
    Identity identity() const;

    // Puts a new file holding content in place of the locked one (a temporary file renamed
    // over it), keeping the old file's permission bits. The old file stays complete until the
    // rename, so a crash at any point leaves either all old records or all new ones.
    SysResult Replace(std::string_view content);

    // Removes the locked file's name.
    SysResult Remove();

    // Releases the lock and closes the file.
    void Close();
    bool isOpen() const { return fd_ != -1; }
    const std::string& path() const { return path_; }

private:
    // The stored name of path's file, or the path as given (its folder resolved) when missing;
    // nothing when the folder is missing too.
    static std::optional<std::string> StoredTarget(std::string_view path);

    // A descriptor, or a native file handle where the system's handles are pointer-sized; -1
    // when closed on every system.
    std::intptr_t fd_ = -1;
    std::string path_;
    SysResult failure_ = SysResult::Ok();
};

} // namespace vserver::platform
