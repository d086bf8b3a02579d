// The Windows side of the shared test helpers: the same contracts as on Linux, with Win32 file
// attributes in place of permission bits and a second thread's handle in place of a second
// process for the lock holder (a byte-range lock is held per handle, so a second handle in this
// process is refused just as another process would be).

#include "support/TestFiles.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vserver::test {

namespace fs = std::filesystem;

std::string NativePath(std::string path) {
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

TempFolder::TempFolder() {
    static std::atomic<unsigned> counter{0};
    std::string base = fs::temp_directory_path().string();
    if (!base.empty() && (base.back() == '\\' || base.back() == '/')) base.pop_back();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::string candidate = base + "\\vserver-test-" + std::to_string(::GetCurrentProcessId()) + "-" +
                                std::to_string(counter++) + "-" + std::to_string(::GetTickCount());
        if (::CreateDirectoryA(candidate.c_str(), nullptr)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("CreateDirectoryA failed");
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    // Tests leave read-only entries behind on purpose.
    for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
        ::SetFileAttributesA(it->path().string().c_str(), FILE_ATTRIBUTE_NORMAL);
    }
    fs::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

void MakeFolder(const std::string& path) { fs::create_directories(path); }

bool PathExists(const std::string& path) { return ::GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool IsWritable(const std::string& path) {
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) == 0;
}

void RemoveWritePermission(const std::string& path) {
    DWORD attributes = ::GetFileAttributesA(path.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES) ::SetFileAttributesA(path.c_str(), attributes | FILE_ATTRIBUTE_READONLY);
}

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Windows has no immutable flag; tests that need one skip.
bool SetImmutable(const std::string&, bool) { return false; }

std::vector<std::string> ServiceLogTextsOf(std::string_view log) {
    std::vector<std::string> texts;
    std::size_t at = 0;
    for (;;) {
        std::size_t end = log.find("\r\n", at);
        if (end == std::string_view::npos) break;
        std::string_view line = log.substr(at, end - at);
        std::size_t tab = line.find('\t');
        std::size_t tab2 = tab == std::string_view::npos ? tab : line.find('\t', tab + 1);
        texts.emplace_back(tab2 == std::string_view::npos ? line : line.substr(tab2 + 1));
        at = end + 2;
    }
    return texts;
}

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
