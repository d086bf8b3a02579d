#include "support/TestFiles.h"

#include <thread>

#include <fcntl.h>
#include <linux/fs.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace vserver::test {

namespace fs = std::filesystem;

std::string NativePath(std::string path) { return path; }

TempFolder::TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "vserver-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempFolder::~TempFolder() {
    std::error_code ignored;
    // Tests leave read-only and immutable entries behind on purpose.
    for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
        SetImmutable(it->path().string(), false);
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

void MakeFolder(const std::string& path) { fs::create_directories(path); }

bool PathExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

bool IsWritable(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && (st.st_mode & S_IWUSR) != 0;
}

void RemoveWritePermission(const std::string& path) {
    fs::permissions(path, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
}

std::vector<std::string> Names(const std::string& folder) {
    std::vector<std::string> names;
    std::error_code ignored;
    for (const auto& entry : fs::directory_iterator(folder, ignored)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

bool SetImmutable(const std::string& path, bool immutable) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return false;
    int flags = 0;
    bool ok = ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
    if (ok) {
        flags = immutable ? (flags | FS_IMMUTABLE_FL) : (flags & ~FS_IMMUTABLE_FL);
        ok = ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
    }
    ::close(fd);
    return ok;
}

std::vector<std::string> ServiceLogTextsOf(std::string_view log) {
    std::vector<std::string> texts;
    std::size_t at = 0;
    for (;;) {
        std::size_t end = log.find("\r\n", at);
        if (end == std::string_view::npos) break;
        std::string_view line = log.substr(at, end - at);
        // "MM/DD/YY<TAB>HH:MM:SS<TAB>text"
        std::size_t tab = line.find('\t');
        std::size_t tab2 = tab == std::string_view::npos ? tab : line.find('\t', tab + 1);
        texts.emplace_back(tab2 == std::string_view::npos ? line : line.substr(tab2 + 1));
        at = end + 2;
    }
    return texts;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

LockHolder::LockHolder(const std::string& path) {
    int ready[2];
    if (::pipe(ready) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT, 0666);
        // Both kinds of lock, so that either server sees the file busy: the Linux server takes
        // flock locks, and Wine's LockFileEx sees record (fcntl) locks but not flock ones.
        struct flock record {};
        record.l_type = F_WRLCK;
        record.l_whence = SEEK_SET;
        char ok = (fd >= 0 && ::flock(fd, LOCK_EX) == 0 && ::fcntl(fd, F_SETLKW, &record) == 0) ? '1' : '0';
        (void)!::write(ready[1], &ok, 1);
        ::pause();
        ::_exit(0);
    }
    char ok = '0';
    (void)!::read(ready[0], &ok, 1);
    locked_ = ok == '1';
    ::close(ready[0]);
    ::close(ready[1]);
}

void LockHolder::Release() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
}

} // namespace vserver::test
