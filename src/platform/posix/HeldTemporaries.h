#pragma once
// Held temporaries (see common/HeldTemporaries.h), and the removal of stale ones through an
// open folder.

#include <string>

#include "platform/common/HeldTemporaries.h"

namespace vserver::platform {

// RemoveStaleTemporaries for target (its path as stored) in the open folder folderFd, which
// holds it: the folder is listed and the temporaries removed through that descriptor.
void RemoveStaleTemporariesIn(int folderFd, const std::string& target);

} // namespace vserver::platform
