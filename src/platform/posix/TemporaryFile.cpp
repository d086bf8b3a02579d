#include "platform/TemporaryFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <limits>
#include <string_view>

#include "platform/common/PathText.h"
#include "platform/common/TemporaryName.h"
#include "platform/posix/DiskNames.h"
#include "platform/posix/HeldTemporaries.h"

namespace vserver::platform {

namespace {

std::string FolderOf(const std::string& path) {
    std::string folder(FolderPartOf(path));
    return folder.empty() ? "." : folder;
}

// The writer of a temporary, 0 when the name is not one the server made.
pid_t WriterOf(std::string_view rest) {
    const unsigned long long pid = TemporaryWriterOf(rest);
    return pid > 0 && pid <= static_cast<unsigned long long>(std::numeric_limits<pid_t>::max()) ? static_cast<pid_t>(pid) : 0;
}

bool WriterGone(pid_t pid) {
    // This process leaves no temporary behind between calls except the held ones (which its
    // caller skips), so a temporary with its own id is left from an earlier process that had
    // the same id (a restarted service often gets the same one).
    if (pid == ::getpid()) return true;
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

} // namespace

std::string TemporaryNameFor(const std::string& target) { return TemporaryNameFor(target, "tmp"); }

std::string TemporaryNameFor(const std::string& target, std::string_view kind) {
    static std::atomic<unsigned> counter{0};
    std::string name = TemporaryPrefix(target, kind);
    name += std::to_string(::getpid());
    name += '-';
    name += std::to_string(counter++);
    std::string_view folder = FolderPartOf(target);
    if (folder.empty()) return name;
    std::string out(folder);
    if (out.back() != '/') out.push_back('/');
    return out + name;
}

void RemoveStaleTemporaries(const std::string& target) {
    const std::string stored = names::StoredPath(target);
    int folder = ::open(FolderOf(stored).c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (folder < 0) return;
    RemoveStaleTemporariesIn(folder, stored);
    ::close(folder);
}

void RemoveStaleTemporariesIn(int folderFd, const std::string& target) {
    const std::string prefix = TemporaryPrefix(target);
    int listed = ::openat(folderFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (listed < 0) return;
    DIR* dir = ::fdopendir(listed);
    if (dir == nullptr) {
        ::close(listed);
        return;
    }
    std::string folder(FolderPartOf(target));
    if (!folder.empty() && folder.back() != '/') folder.push_back('/');
    while (const dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) continue;
        pid_t writer = WriterOf(name.substr(prefix.size()));
        if (writer == 0 || !WriterGone(writer)) continue;
        if (writer == ::getpid() && IsHeldTemporary(names::ShownForm(folder + std::string(name)))) continue;
        (void)::unlinkat(folderFd, entry->d_name, 0);
    }
    ::closedir(dir);
}

bool TemporaryWriterGone(std::string_view rest) {
    const pid_t writer = WriterOf(rest);
    return writer != 0 && WriterGone(writer);
}

SysResult SyncFolderOf(const std::string& path) { return SyncFolder(FolderOf(path)); }

SysResult SyncFolder(const std::string& folder) {
    int fd = ::open(names::StoredPath(folder).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return SysResult::Failure("open", errno);
    SysResult result = ::fsync(fd) == 0 ? SysResult::Ok() : SysResult::Failure("fsync", errno);
    ::close(fd);
    return result;
}

} // namespace vserver::platform
