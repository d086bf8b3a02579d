#include "AccountTestSupport.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "settings/ServiceLog.h"

namespace vserver::accounts::test {

namespace fs = std::filesystem;

ScratchFolder::ScratchFolder() {
    std::string pattern = (fs::temp_directory_path() / "vserver-accounts-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

ScratchFolder::~ScratchFolder() {
    std::error_code ignored;
    for (auto it = fs::recursive_directory_iterator(path_, ignored); it != fs::recursive_directory_iterator();
         it.increment(ignored)) {
        SetImmutable(it->path().string(), false);
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
    }
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
}

std::string ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

void WriteBytes(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

void MakeFolders(const std::string& path) { fs::create_directories(path); }

bool Exists(const std::string& path) {
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

LogCapture::LogCapture() : start_(ReadBytes(settings::ServiceLogPath()).size()) {
    // The log ends in a NUL that the next line overwrites.
    if (start_ > 0) --start_;
}

std::vector<std::string> LogCapture::Texts() const {
    std::string log = ReadBytes(settings::ServiceLogPath());
    std::vector<std::string> texts;
    std::size_t at = std::min(start_, log.size());
    for (;;) {
        std::size_t end = log.find("\r\n", at);
        if (end == std::string::npos) break;
        std::string line = log.substr(at, end - at);
        std::size_t tab = line.find('\t');
        std::size_t tab2 = tab == std::string::npos ? tab : line.find('\t', tab + 1);
        texts.push_back(tab2 == std::string::npos ? line : line.substr(tab2 + 1));
        at = end + 2;
    }
    return texts;
}

bool LogCapture::Contains(const std::string& text) const {
    auto texts = Texts();
    return std::find(texts.begin(), texts.end(), text) != texts.end();
}

std::size_t LogCapture::CountMentioning(const std::string& fragment) const {
    auto texts = Texts();
    return static_cast<std::size_t>(std::count_if(texts.begin(), texts.end(), [&](const std::string& text) {
        return text.find(fragment) != std::string::npos;
    }));
}

} // namespace vserver::accounts::test
