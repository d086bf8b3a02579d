#pragma once
// Shared pieces of the account store tests: a real temporary folder, whole-file reads and
// writes, the service-log lines a test caused, and the immutable flag that makes even root
// fail to change an entry (the tests run as any user, root included).

#include <string>
#include <vector>

namespace vserver::accounts::test {

class ScratchFolder {
public:
    ScratchFolder();
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& content);
void MakeFolders(const std::string& path);
bool Exists(const std::string& path);
// Owner write permission present.
bool IsWritable(const std::string& path);
void RemoveWritePermission(const std::string& path);
// Entry names of a folder, sorted.
std::vector<std::string> Names(const std::string& folder);

// Sets or clears the file system's immutable flag; false when the file system or the
// process's rights do not allow it (the test should then be skipped).
bool SetImmutable(const std::string& path, bool immutable);

// The texts (date and time removed) of the service-log lines written since construction.
class LogCapture {
public:
    LogCapture();
    std::vector<std::string> Texts() const;
    bool Contains(const std::string& text) const;
    // Lines that mention fragment (tests run side by side and share the log, so a test counts
    // only lines naming its own temporary paths).
    std::size_t CountMentioning(const std::string& fragment) const;

private:
    std::size_t start_;
};

} // namespace vserver::accounts::test
