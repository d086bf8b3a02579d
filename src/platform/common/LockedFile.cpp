#include "platform/LockedFile.h"

#include <utility>

#include "platform/FileSystem.h"
#include "platform/SystemTraits.h"
#include "platform/common/PathText.h"

namespace vserver::platform {

std::optional<std::string> LockedFile::StoredTarget(std::string_view path) {
    if (auto existing = ResolveExisting(path)) return existing;
    std::string_view folder = FolderPartOf(path);
    if (folder.empty()) return std::string(path);
    auto resolvedFolder = ResolveExisting(folder);
    if (!resolvedFolder) return std::nullopt;
    std::string out = *resolvedFolder;
    if (!IsPathSeparator(out.back())) out.push_back(kPathSeparator);
    out.append(LastComponentOf(path));
    return out;
}

LockedFile::~LockedFile() { Close(); }

LockedFile::LockedFile(LockedFile&& other) noexcept
    : fd_(std::exchange(other.fd_, -1)), path_(std::move(other.path_)), failure_(other.failure_) {}

LockedFile& LockedFile::operator=(LockedFile&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        path_ = std::move(other.path_);
        failure_ = other.failure_;
    }
    return *this;
}

} // namespace vserver::platform
