#pragma once
// Appending to files that end in exactly one NUL byte (the service log and the record files).
// The append overwrites that NUL with the new text and writes a fresh NUL after it, holding an
// exclusive lock for the length of the append so two processes never interleave records. An
// append is all or nothing: when the disk is full or the file reaches the process's size limit
// part way through, the file is cut back to its old length and its old last byte, so the next
// append never glues its record to a torn one.

#include <string>
#include <string_view>

#include "platform/SysResult.h"

namespace vserver::platform {

enum class AppendOpen {
    CreateIfMissing,   // create an empty file first when there is none
    ExistingOnly,      // fail when the file does not exist
};

enum class LockWait {
    Bounded,   // wait a little for another holder (outside the event loop)
    None,      // fail at once with IsLockBusy when another holder has the lock
};

// Steps back one byte when the file is not empty (onto the NUL a previous append left; a file
// written by another tool loses its last byte, as the format requires), then writes text + NUL.
SysResult AppendNulTerminated(const std::string& path, std::string_view text, AppendOpen how,
                              LockWait wait = LockWait::Bounded);

} // namespace vserver::platform
