// The Windows side of the shared test helpers: the same contracts as on Linux, with Win32 file
// attributes in place of permission bits and a second thread's handle in place of a second
// process for the lock holder (a byte-range lock is held per handle, so a second handle in this
// process is refused just as another process would be).

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <stdexcept>
#include <vector>

#include "support/SystemFiles.h"
#include "support/TestFiles.h"

namespace vserver::test {

namespace fs = std::filesystem;

std::string NativePath(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

std::string NewTemporaryFolder() {
    static std::atomic<unsigned> counter{0};
    std::string base = fs::temp_directory_path().string();
    if (!base.empty() && (base.back() == '\\' || base.back() == '/')) base.pop_back();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = base + "\\vserver-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                std::to_string(counter++) + "-" + std::to_string(::GetTickCount());
        if (::CreateDirectoryA(candidate.c_str(), nullptr)) return candidate;
    }
    throw std::runtime_error("CreateDirectoryA failed");
}

void MakeRemovable(const std::string& path) { ::SetFileAttributesA(path.c_str(), FILE_ATTRIBUTE_NORMAL); }

bool PathExists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsWritable(const std::string& path) {
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

void RemoveWritePermission(const std::string& path) {
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) ::SetFileAttributesA(path.c_str(), attributes | FILE_ATTRIBUTE_READONLY);
}

// Windows has no immutable flag; tests that need one skip.
bool SetImmutable(const std::string&, bool) { return false; }

// The holder's int field names a slot of this table, since a handle does not fit in an int.
namespace {
std::vector<HANDLE>& HeldHandles() {
    static std::vector<HANDLE> handles;
    return handles;
}
} // namespace

// Record files are guarded by the lock of their companion "<file>.lock", never by a lock on the
// data file itself, which a rename must be able to replace.
LockHolder::LockHolder(const std::string& path) {
    const std::string lockPath = path + ".lock";
    HANDLE file = ::CreateFileA(lockPath.c_str(), GENERIC_READ | GENERIC_WRITE,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return;
    OVERLAPPED whole{};
    if (!::LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, MAXDWORD, MAXDWORD, &whole)) {
        ::CloseHandle(file);
        return;
    }
    HeldHandles().push_back(file);
    pid_ = static_cast<int>(HeldHandles().size() - 1);
    locked_ = true;
}

void LockHolder::Release() {
    if (pid_ >= 0) {
        HANDLE& file = HeldHandles()[static_cast<std::size_t>(pid_)];
        if (file != nullptr) ::CloseHandle(file);
        file = nullptr;
        pid_ = -1;
    }
}

} // namespace vserver::test
