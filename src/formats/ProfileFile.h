#pragma once
// Profile (initialization) files: "[section]" lines followed by "key=value" lines. ProfileFile
// owns the content of one file and finds or changes one value in it; every byte it does not
// change stays as it was, so users' files written by other programs survive a write.
//
// Reading follows the rules the users' files were written for: CR LF, LF and a CR alone each
// end a line; section and key names match without regard to case; blanks around section
// names, keys and values are ignored; one pair of double or single quotes around a value is
// removed; a NUL byte ends a value; lines starting with ";" are comments; a blank section name
// is the section written "[]"; of two equal keys in a section the first counts, and of two
// equal sections the first is the one read and written. A UTF-8 byte order mark is part of the
// first line. A file that starts with the UTF-16LE byte order mark is read as 8-bit text and
// stays UTF-16LE when written. Lines this code adds end as the file's first line does (CR LF
// in a file without line ends). Reading and writing the files on disk is platform/'s
// (common/ProfileFileIo.h).

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "formats/CodePage.h"

namespace vserver::platform {

class ProfileFile {
public:
    explicit ProfileFile(std::string bytes = {}) : content_(std::move(bytes)) {}

    // The value of key in section, or nothing when the section or the key is missing. A key
    // written as "key=" has the empty value.
    std::optional<std::string> Find(std::string_view section, std::string_view key) const;

    // Replaces the value of an existing key (the line up to the old value, blanks after "="
    // included, is kept), or adds the key after the last non-blank line of the section, or
    // adds the section with the key at the end of the file. A blank key is never written.
    void Set(std::string_view section, std::string_view key, std::string_view value);

    // The file's content in its own encoding.
    const std::string& bytes() const { return content_.bytes(); }
    // The content as 8-bit text.
    const std::string& text() const { return content_.text(); }

private:
    EncodedText content_;
};

// The default as the profile reader answers it for a missing key: without trailing blanks.
std::string_view ProfileDefault(std::string_view defaultValue);

struct ProfileEntry {
    std::string_view section;
    std::string_view key;
    std::string_view value;
};

// The file's bytes with every entry set, in order, as ProfileFile::Set sets it.
std::string WithProfileEntries(std::string bytes, std::span<const ProfileEntry> entries);

} // namespace vserver::platform
