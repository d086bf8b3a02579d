#pragma once
// What the unit and integration tests share: real temporary folders, whole-file reads and
// writes, file attributes, the texts of a service log, and a second process holding a lock.

#include <chrono>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace vserver::test {

// path with every "/" turned into the system's separator.
std::string NativePath(std::string path);

// A fresh folder below the system's temporary folder, removed with everything in it (read-only
// and immutable entries included) when the object goes.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;
    const std::string& path() const { return path_; }
    // The path of name below the folder; name is written with "/" and comes back in the
    // system's own separators.
    std::string operator/(const std::string& name) const { return path_ + NativePath("/" + name); }

private:
    std::string path_;
};

std::string ReadFile(const std::string& path);
// The lines of a text, each without its LF (a CR before it stays).
std::vector<std::string> Lines(const std::string& text);
void WriteFile(const std::string& path, const std::string& content);
void MakeFolder(const std::string& path);
bool PathExists(const std::string& path);
// Owner write permission present.
bool IsWritable(const std::string& path);
void RemoveWritePermission(const std::string& path);
// Entry names of a folder, sorted.
std::vector<std::string> Names(const std::string& folder);
// Sets or clears the file system's immutable flag; false when the file system or the
// process's rights do not allow it (the test should then be skipped).
bool SetImmutable(const std::string& path, bool immutable);

// Polls condition until it holds or the timeout passes; its last answer. For effects that
// follow a reply (a queue file rewritten after the collection's reply went out).
bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = std::chrono::seconds(10));

// The texts of a service log's records, date and time removed, in order.
std::vector<std::string> ServiceLogTextsOf(std::string_view log);

// Another process holding a file's record lock until released or killed.
class LockHolder {
public:
    explicit LockHolder(const std::string& path);
    ~LockHolder() { Release(); }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    void Release();
    bool locked() const { return locked_; }

private:
    int pid_ = -1;
    bool locked_ = false;
};

} // namespace vserver::test
