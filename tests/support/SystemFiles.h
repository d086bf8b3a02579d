#pragma once
// The part of the shared test helpers that each system provides for itself (posix/ and
// windows/); TestFiles.cpp builds the rest on it.

#include <string>

namespace vserver::test {

// Clears what a test may have left on an entry that would keep it from being removed: missing
// write permission, a read-only attribute, the immutable flag.
void MakeRemovable(const std::string& path);

// A new, empty folder below the system's temporary folder; its path.
std::string NewTemporaryFolder();

} // namespace vserver::test
