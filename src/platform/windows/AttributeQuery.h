#pragma once
// How the Windows backend learns whether an entry below the users folder is a reparse point:
// from the attributes the system reports, which a test may adjust to stand in for a junction or
// a symbolic link that it cannot make (Wine makes none, and Windows lets only a privileged
// process make them). Used inside the Windows backend and its tests only.

#include <windows.h>

#include <string>

namespace vserver::platform::backend {

// Where the attributes come from: the directory listing that found the entry, or the entry's
// name asked again once the entry is held open.
enum class AttributeSource { Listing, Held };

// Returns the attributes to go by for path, given the system's answer.
using AttributeQuery = DWORD (*)(const std::string& path, DWORD systemAnswer, AttributeSource source);

// Replaces the system's answers; nullptr goes back to them.
void SetAttributeQueryForTests(AttributeQuery query);

} // namespace vserver::platform::backend
