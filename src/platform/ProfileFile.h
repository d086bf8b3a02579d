#pragma once
// Profile (initialization) files: "[section]" lines followed by "key=value" lines. ProfileFile
// owns the text of one file and finds or changes one value in it; every byte it does not
// change stays as it was, so users' files written by other programs survive a write.
//
// Reading follows the rules the users' files were written for: section and key names match
// without regard to case; blanks around section names, keys and values are ignored; one pair
// of double or single quotes around a value is removed; lines starting with ";" are comments;
// of two equal keys in a section the first counts, and of two equal sections the first is the
// one read and written. Lines may end in CR LF or LF; lines this code adds end in CR LF.

#include <optional>
#include <string>
#include <string_view>

#include "platform/SysResult.h"

namespace vserver::platform {

class ProfileFile {
public:
    explicit ProfileFile(std::string text = {}) : text_(std::move(text)) {}

    // The value of key in section, or nothing when the section or the key is missing. A key
    // written as "key=" has the empty value.
    std::optional<std::string> Find(std::string_view section, std::string_view key) const;

    // Replaces the value of an existing key (the line up to the old value, blanks after "="
    // included, is kept), or adds the key after the last non-blank line of the section, or
    // adds the section with the key at the end of the file.
    void Set(std::string_view section, std::string_view key, std::string_view value);

    const std::string& text() const { return text_; }

private:
    std::string text_;
};

// Reads one value of the file at path (found without regard to case). A missing file reads as
// missing section and key: value is then nothing and the result is Ok.
SysResult ReadProfileValue(std::string_view path, std::string_view section, std::string_view key,
                           std::optional<std::string>& value);

// Writes key=value into section of the file at path, creating the file, the section and the
// key as needed. The file is replaced as a whole (never left torn); its folder must exist.
SysResult WriteProfileValue(std::string_view path, std::string_view section, std::string_view key,
                            std::string_view value);

} // namespace vserver::platform
