#pragma once
// The Windows backend's file helpers that its path functions (FileSystem.cpp) and its place
// functions (Beneath.cpp) share.

#include <windows.h>

#include <optional>
#include <string>
#include <string_view>

#include "platform/SysResult.h"

namespace vserver::platform::files {

// folder, a separator unless it ends in one, name.
std::string Join(std::string_view folder, std::string_view name);

// The entry of folder that name finds, with its stored name and attributes. The system matches
// names without regard to case itself, so one lookup of the name is enough; a name with
// wildcards never names an entry. "" is the working folder.
std::optional<WIN32_FIND_DATAA> FindStoredEntry(const std::string& folder, std::string_view name);

// Lists a folder ("" is the working folder), and closes the search when it ends, however it
// ends.
class DirectorySearch {
public:
    explicit DirectorySearch(const std::string& folder);
    ~DirectorySearch();
    DirectorySearch(const DirectorySearch&) = delete;
    DirectorySearch& operator=(const DirectorySearch&) = delete;
    bool open() const { return handle_ != INVALID_HANDLE_VALUE; }
    // Why the search could not start or, once Next gave nullptr, why it ended
    // (ERROR_NO_MORE_FILES when every entry was given).
    DWORD error() const { return error_; }
    // The next entry ("." and ".." among them), or nullptr at the end.
    const WIN32_FIND_DATAA* Next();

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
    WIN32_FIND_DATAA data_{};
    DWORD error_ = ERROR_SUCCESS;
    bool first_ = true;
};

// The whole file at stored, a path already as stored, into out.
SysResult ReadStoredFile(const std::string& stored, std::string& out);

// The rest of the open file, into out.
SysResult ReadAllFrom(HANDLE file, std::string& out);

} // namespace vserver::platform::files
