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
// in a file without line ends).

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "platform/CodePage.h"
#include "platform/DurableWrites.h"
#include "platform/SysResult.h"

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

// Reads one value of the file at path (found without regard to case). A missing file reads as
// missing section and key: value is then nothing and the result is Ok.
SysResult ReadProfileValue(std::string_view path, std::string_view section, std::string_view key,
                           std::optional<std::string>& value);

// Writes key=value into section of the file at path, creating the file, the section and the
// key as needed. The file is replaced as a whole (never left torn); its folder must exist.
SysResult WriteProfileValue(std::string_view path, std::string_view section, std::string_view key,
                            std::string_view value);

struct ProfileEntry {
    std::string_view section;
    std::string_view key;
    std::string_view value;
};

// Writes every entry, in order, as WriteProfileValue does, with one replacement of the file
// whose sync, rename and folder sync are left to unsynced (see StageReplacement).
SysResult StageProfileValues(std::string_view path, std::span<const ProfileEntry> entries, UnsyncedWrite& unsynced);

struct PlaceBeneath;
// The same for the file at a place below a folder (found, or missing in a folder that exists).
SysResult StageProfileValues(const PlaceBeneath& place, std::span<const ProfileEntry> entries, UnsyncedWrite& unsynced);

} // namespace vserver::platform
