#pragma once
// Names as the clients write them (the 8-bit code page) and as the file system holds them
// (UTF-8, as every other program on the system writes and shows them). Everything the backend's
// callers pass and get back is in the code page; the backend turns it into UTF-8 where it meets
// the file system and back where names come out of it. A name from before the file system held
// UTF-8 (the code page's bytes as they are, which are mostly not UTF-8) is still found as those
// bytes. Text whose every byte is below 0x80 is the same in both and costs nothing.

#include <string>
#include <string_view>

namespace vserver::platform::names {

// Code-page text as new names are stored: UTF-8.
std::string DiskForm(std::string_view text);

// A name or path as stored, in the code page: UTF-8 converted, with '?' for a character the
// code page has no form for; a component that is not UTF-8 as its bytes are.
std::string ShownForm(std::string_view stored);
std::string ShownForm(std::string&& stored);

// The disk form of text, held only when it differs: no copy for text in ASCII. Refers to text,
// which must outlive it.
class DiskText {
public:
    explicit DiskText(std::string_view text);
    DiskText(const DiskText&) = delete;
    DiskText& operator=(const DiskText&) = delete;
    std::string_view view() const { return owned_.empty() ? given_ : std::string_view(owned_); }
    bool converted() const { return !owned_.empty(); }

private:
    std::string_view given_;
    std::string owned_;
};

// The path a code-page path names as stored, without any lookup in other capitals: each
// component in UTF-8, except where only an entry of its code-page bytes exists. Reads no kept
// listing, so it is safe on any thread.
std::string StoredPath(std::string_view path);

// The same for one name in the open folder folderFd.
std::string StoredNameIn(int folderFd, std::string_view name);

} // namespace vserver::platform::names
