#include "platform/posix/DiskNames.h"

#include <fcntl.h>
#include <sys/stat.h>

#include "formats/CodePage.h"

namespace vserver::platform::names {

namespace {

bool Exists(int folderFd, const std::string& name) {
    struct stat st {};
    return ::fstatat(folderFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
}

// The form of one component as stored in the folder prefix names (AT_FDCWD relative).
void AppendStoredComponent(std::string& prefix, std::string_view component) {
    const std::size_t base = prefix.size();
    prefix.append(CodePageToUtf8(component));
    if (Exists(AT_FDCWD, prefix)) return;
    std::string raw = prefix.substr(0, base).append(component);
    if (Exists(AT_FDCWD, raw)) prefix = std::move(raw);
}

// Builds a path from path's components, each put in by append, the separators kept.
template <typename Append>
std::string EachComponent(std::string_view path, Append append) {
    std::string out;
    out.reserve(path.size() + path.size() / 2);
    std::size_t at = 0;
    while (at <= path.size()) {
        std::size_t end = path.find('/', at);
        if (end == std::string_view::npos) end = path.size();
        append(out, path.substr(at, end - at));
        if (end < path.size()) out.push_back('/');
        at = end + 1;
    }
    return out;
}

} // namespace

std::string DiskForm(std::string_view text) {
    if (IsAscii(text)) return std::string(text);
    return CodePageToUtf8(text);
}

std::string ShownForm(std::string_view stored) {
    if (IsAscii(stored)) return std::string(stored);
    return EachComponent(stored, [](std::string& out, std::string_view component) {
        std::string shown;
        out.append(!IsAscii(component) && Utf8ToCodePage(component, shown) ? std::string_view(shown) : component);
    });
}

std::string ShownForm(std::string&& stored) {
    if (IsAscii(stored)) return std::move(stored);
    return ShownForm(std::string_view(stored));
}

DiskText::DiskText(std::string_view text) : given_(text) {
    if (!IsAscii(text)) owned_ = CodePageToUtf8(text);
}

std::string StoredPath(std::string_view path) {
    if (IsAscii(path)) return std::string(path);
    std::string whole = CodePageToUtf8(path);
    if (Exists(AT_FDCWD, whole)) return whole;
    return EachComponent(path, [](std::string& out, std::string_view component) {
        if (IsAscii(component)) {
            out.append(component);
        } else {
            AppendStoredComponent(out, component);
        }
    });
}

std::string StoredNameIn(int folderFd, std::string_view name) {
    if (IsAscii(name)) return std::string(name);
    std::string utf8 = CodePageToUtf8(name);
    if (Exists(folderFd, utf8)) return utf8;
    std::string raw(name);
    return Exists(folderFd, raw) ? raw : utf8;
}

} // namespace vserver::platform::names
