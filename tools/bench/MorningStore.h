#pragma once
// The file work of the morning reference server, each operation in the fewest system calls that
// keep the server's promises: a preference read is open, read, close; a preference write
// replaces the file durably (temporary file written and synced, renamed, folder synced); a
// record append takes the file's lock, writes over the final NUL and, for a queue, syncs before
// the item is acknowledged; a queue is read under its lock and rewritten like a preference file.
// No name matching (every name is asked for as stored), no caches, no checks beyond these.
// A failure to store something acknowledged ends the program: a measuring stick that answered
// True for a lost item would measure nothing.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace bench {

[[noreturn]] inline void Die(const char* call, const std::string& path) {
    std::perror((std::string(call) + " " + path).c_str());
    std::exit(1);
}

// The rest of an open file, read with one read per 64 KiB.
inline std::string ReadFrom(int fd) {
    std::string text;
    static char chunk[65536];
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;) {
        text.append(chunk, static_cast<std::size_t>(n));
        if (static_cast<std::size_t>(n) < sizeof chunk) break;
    }
    return text;
}

// The whole file (under a shared lock when asked); empty when it cannot be opened.
inline std::string ReadWhole(const std::string& path, bool locked = false) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return {};
    if (locked) (void)::flock(fd, LOCK_SH);
    std::string text = ReadFrom(fd);
    ::close(fd);
    return text;
}

inline void SyncFolderOf(const std::string& path) {
    std::string folder = path.substr(0, path.rfind('/'));
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0 || ::fsync(fd) != 0) Die("fsync", folder);
    ::close(fd);
}

// Replaces path by content: a crash leaves the old file or the new one, and both are on disk
// before this returns.
inline void ReplaceDurably(const std::string& path, std::string_view content) {
    std::string temporary = path + ".tmp";
    int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) Die("open", temporary);
    if (::write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size()) || ::fdatasync(fd) != 0) {
        Die("write", temporary);
    }
    ::close(fd);
    if (::rename(temporary.c_str(), path.c_str()) != 0) Die("rename", temporary);
    SyncFolderOf(path);
}

// Appends records and one NUL over the NUL the file ends with, under the file's lock; with
// durable, synced (a new file's folder too) before it returns.
inline void AppendRecords(const std::string& path, const std::string& records, bool durable) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) Die("open", path);
    struct stat st {};
    if (::flock(fd, LOCK_EX) != 0 || ::fstat(fd, &st) != 0) Die("flock", path);
    std::string text = records;
    text.push_back('\0');
    off_t at = st.st_size > 0 ? st.st_size - 1 : 0;
    if (::pwrite(fd, text.data(), text.size(), at) != static_cast<ssize_t>(text.size())) Die("pwrite", path);
    if (durable && ::fdatasync(fd) != 0) Die("fdatasync", path);
    ::close(fd);
    if (durable && st.st_size == 0) SyncFolderOf(path);
}

// A case-insensitive comparison of two names, as the profile files match them.
inline bool SameName(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
        if (lower(a[i]) != lower(b[i])) return false;
    }
    return true;
}

inline std::string_view Trimmed(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// Where the line of key in section begins and ends in a profile text (npos when it is missing),
// and where the section's header line ends (npos when the section is missing).
struct KeyPlace {
    std::size_t line = std::string::npos, end = std::string::npos, sectionEnd = std::string::npos;
};

inline KeyPlace FindKey(std::string_view text, std::string_view section, std::string_view key) {
    KeyPlace place;
    bool inSection = false;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        end = end == std::string_view::npos ? text.size() : end + 1;
        std::string_view line = Trimmed(text.substr(at, end - at - (text[end - 1] == '\n' ? 1 : 0)));
        if (line.size() >= 2 && line.front() == '[' && line.back() == ']') {
            inSection = SameName(Trimmed(line.substr(1, line.size() - 2)), section);
            if (inSection && place.sectionEnd == std::string::npos) place.sectionEnd = end;
        } else if (inSection && line.find('=') != std::string_view::npos && SameName(Trimmed(line.substr(0, line.find('='))), key)) {
            return KeyPlace{at, end, place.sectionEnd};
        }
        at = end;
    }
    return place;
}

// The value of key in section, or fallback when it is missing or empty.
inline std::string ProfileValue(std::string_view text, std::string_view section, std::string_view key, std::string_view fallback) {
    KeyPlace place = FindKey(text, section, key);
    if (place.line == std::string::npos) return std::string(fallback);
    std::string_view line = text.substr(place.line, place.end - place.line);
    std::string_view value = Trimmed(line.substr(line.find('=') + 1));
    if (!value.empty() && value.back() == '\n') value = Trimmed(value.substr(0, value.size() - 1));
    return value.empty() ? std::string(fallback) : std::string(value);
}

// The text with key=value in section, replacing the key's line or adding it (and the section).
inline std::string WithValue(std::string text, std::string_view section, std::string_view key, std::string_view value) {
    std::string line = std::string(key) + "=" + std::string(value) + "\r\n";
    KeyPlace place = FindKey(text, section, key);
    if (place.line != std::string::npos) return text.replace(place.line, place.end - place.line, line);
    if (place.sectionEnd != std::string::npos) return text.insert(place.sectionEnd, line);
    return text + "[" + std::string(section) + "]\r\n" + line;
}

} // namespace bench
