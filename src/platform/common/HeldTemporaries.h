#pragma once
// The temporaries of this process that are written and wait, on the sync thread, for their
// sync and rename. RemoveStaleTemporaries leaves them alone: every other temporary bearing this
// process's id is left over from an earlier process that had the same id. Safe from any thread.

#include <string>

namespace vserver::platform {

void HoldTemporary(const std::string& path);
void ReleaseTemporary(const std::string& path);
bool IsHeldTemporary(const std::string& path);

} // namespace vserver::platform
