#include "platform/TemporaryFile.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <string_view>

#include "platform/PathText.h"

namespace vserver::platform {

namespace {

constexpr std::string_view kMarker = ".tmp-";

std::string FolderOf(const std::string& path) {
    std::string folder(FolderPartOf(path));
    return folder.empty() ? "." : folder;
}

std::string TemporaryPrefix(const std::string& target) {
    std::string prefix = ".";
    prefix += LastComponentOf(target);
    prefix += kMarker;
    return prefix;
}

// The writer's process id of a temporary name "<prefix><pid>-<n>", or 0 when the rest of
// the name is not of that form (an entry the server did not make).
pid_t WriterOf(std::string_view rest) {
    std::size_t dash = rest.find('-');
    if (dash == 0 || dash == std::string_view::npos || dash + 1 == rest.size()) return 0;
    long long pid = 0;
    auto parsed = std::from_chars(rest.data(), rest.data() + dash, pid);
    if (parsed.ec != std::errc() || parsed.ptr != rest.data() + dash || pid <= 0) return 0;
    std::string_view counter = rest.substr(dash + 1);
    if (counter.find_first_not_of("0123456789") != std::string_view::npos) return 0;
    return static_cast<pid_t>(pid);
}

bool WriterGone(pid_t pid) {
    // This process writes its temporaries within one call and never leaves one open between
    // calls, so a temporary with its own id is left from an earlier process that had the same
    // id (a restarted service often gets the same one).
    if (pid == ::getpid()) return true;
    return ::kill(pid, 0) != 0 && errno == ESRCH;
}

} // namespace

std::string TemporaryNameFor(const std::string& target) {
    static std::atomic<unsigned> counter{0};
    std::string name = TemporaryPrefix(target);
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
    const std::string folder = FolderOf(target);
    const std::string prefix = TemporaryPrefix(target);
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return;
    while (const dirent* entry = ::readdir(dir)) {
        std::string_view name = entry->d_name;
        if (name.size() <= prefix.size() || name.substr(0, prefix.size()) != prefix) continue;
        pid_t writer = WriterOf(name.substr(prefix.size()));
        if (writer == 0 || !WriterGone(writer)) continue;
        std::string path = folder;
        if (path.back() != '/') path.push_back('/');
        path.append(name);
        (void)::unlink(path.c_str());
    }
    ::closedir(dir);
}

SysResult SyncFolderOf(const std::string& path) {
    const std::string folder = FolderOf(path);
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return SysResult::Failure("open", errno);
    SysResult result = ::fsync(fd) == 0 ? SysResult::Ok() : SysResult::Failure("fsync", errno);
    ::close(fd);
    return result;
}

} // namespace vserver::platform
