#pragma once
// Removal of a folder with everything below it, depth first, making read-only entries
// writable on the way. It stops at the first entry it cannot make writable or remove, names
// that entry in the service log, and leaves whatever it had not reached in place.

#include <string>

namespace vserver::accounts {

// path has no trailing separator. True when the folder and all its contents are gone.
// Symbolic links are removed as links; what they point to is never entered or changed. Each
// entry is reached through the folder that holds it, so a folder swapped for a link in the
// middle of the removal is not followed either.
bool RemoveFolderTree(const std::string& path);

} // namespace vserver::accounts
