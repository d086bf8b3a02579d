#include "platform/FolderCheck.h"

#include <windows.h>

#include "Win32Error.h"

namespace vserver::platform {

namespace {

// Opens the folder asking for rights; the system checks them against the folder's access list
// with this process's token, as it would when the server lists it or creates entries in it.
DWORD OpenWithRights(const std::string& path, DWORD rights) {
    HANDLE handle = ::CreateFileA(path.c_str(), rights, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return ::GetLastError();
    ::CloseHandle(handle);
    return ERROR_SUCCESS;
}

SysResult Failure(const char* call, DWORD code) {
    return SysResult::Failure(call, ErrnoFromWin32(code), static_cast<long>(code));
}

} // namespace

FolderCheck CheckFolder(const std::string& path) {
    FolderCheck check;
    const DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        const DWORD code = ::GetLastError();
        check.failure = Failure("GetFileAttributesA", code);
        const bool missing = code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_INVALID_NAME;
        check.verdict = missing ? FolderCheck::Verdict::Missing : FolderCheck::Verdict::Unknown;
        return check;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        check.failure = Failure("GetFileAttributesA", ERROR_DIRECTORY);
        check.verdict = FolderCheck::Verdict::NotAFolder;
        return check;
    }
    if (DWORD code = OpenWithRights(path, FILE_LIST_DIRECTORY | FILE_TRAVERSE); code != ERROR_SUCCESS) {
        check.failure = Failure("CreateFileA", code);
        check.verdict = code == ERROR_ACCESS_DENIED ? FolderCheck::Verdict::Unreadable : FolderCheck::Verdict::Unknown;
        return check;
    }
    if (DWORD code = OpenWithRights(path, FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY); code != ERROR_SUCCESS) {
        check.failure = Failure("CreateFileA", code);
        check.verdict = code == ERROR_ACCESS_DENIED ? FolderCheck::Verdict::Unwritable : FolderCheck::Verdict::Unknown;
        return check;
    }
    check.verdict = FolderCheck::Verdict::Usable;
    return check;
}

} // namespace vserver::platform
