#pragma once
// Whether a folder can serve as what a setting names: that it exists, is a folder, and that
// this process may list it and create entries in it.

#include <string>

#include "platform/SysResult.h"

namespace vserver::platform {

struct FolderCheck {
    enum class Verdict {
        Usable,
        Missing,       // nothing of that name
        NotAFolder,    // a file or something else
        Unreadable,    // this process may not list it
        Unwritable,    // this process may not create entries in it
        Unknown,       // the check itself failed (see failure)
    };
    Verdict verdict = Verdict::Unknown;
    SysResult failure = SysResult::Ok();   // the call that decided a verdict other than Usable
};

// Checks path as given, following symbolic links, with this process's own rights.
FolderCheck CheckFolder(const std::string& path);

} // namespace vserver::platform
