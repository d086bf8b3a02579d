#include "formats/ProfileFile.h"

#include "formats/TextCase.h"

namespace vserver::platform {

namespace {

constexpr std::string_view kBlanks = " \t";
constexpr std::string_view kLineEnds = "\r\n";
constexpr std::string_view kNewFileLineEnd = "\r\n";

std::string_view Trim(std::string_view text) {
    std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    std::size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && value.front() == value.back() && (value.front() == '"' || value.front() == '\'')) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// One line of the text: [begin, end) is its content, next is where the following line begins
// (after the line's CR LF, LF or CR, or the text's end for a last line without one).
struct Line {
    std::size_t begin = 0;
    std::size_t end = 0;
    std::size_t next = 0;
};

Line LineAt(std::string_view text, std::size_t begin) {
    Line line;
    line.begin = begin;
    std::size_t stop = text.find_first_of(kLineEnds, begin);
    if (stop == std::string_view::npos) {
        line.end = line.next = text.size();
    } else {
        line.end = stop;
        line.next = stop + 1;
        if (text[stop] == '\r' && line.next < text.size() && text[line.next] == '\n') ++line.next;
    }
    return line;
}

// The line end the file already uses, so added lines read back as the file's other lines do.
std::string_view LineEndOf(std::string_view text) {
    std::size_t stop = text.find_first_of(kLineEnds);
    if (stop == std::string_view::npos) return kNewFileLineEnd;
    if (text[stop] == '\n') return "\n";
    return stop + 1 < text.size() && text[stop + 1] == '\n' ? "\r\n" : "\r";
}

enum class LineKind { Section, Key, Blank, Other };

struct ParsedLine {
    LineKind kind = LineKind::Other;
    std::string_view name;    // section or key name, trimmed
    std::size_t equals = 0;   // offset of "=" within the text, for keys
};

ParsedLine Parse(std::string_view text, const Line& line) {
    std::string_view content = text.substr(line.begin, line.end - line.begin);
    std::string_view trimmed = Trim(content);
    ParsedLine parsed;
    if (trimmed.empty()) {
        parsed.kind = LineKind::Blank;
    } else if (trimmed.front() == '[') {
        std::string_view inner = trimmed.substr(1);
        parsed.kind = LineKind::Section;
        parsed.name = Trim(inner.substr(0, inner.find(']')));
    } else if (trimmed.front() != ';') {
        std::size_t eq = content.find('=');
        if (eq != std::string_view::npos) {
            parsed.kind = LineKind::Key;
            parsed.name = Trim(content.substr(0, eq));
            parsed.equals = line.begin + eq;
        }
    }
    return parsed;
}

// Where the first section of that name and the first key of that name in it are.
struct Location {
    bool sectionFound = false;
    bool keyFound = false;
    Line keyLine;
    std::size_t keyEquals = 0;
    std::size_t insertAt = 0;        // after the section's last non-blank line
    bool insertNeedsNewLine = false; // that line ends the text without a line end
};

Location Locate(std::string_view text, std::string_view section, std::string_view key) {
    Location where;
    bool inSection = false;
    for (std::size_t at = 0; at < text.size();) {
        Line line = LineAt(text, at);
        at = line.next;
        ParsedLine parsed = Parse(text, line);
        if (parsed.kind == LineKind::Section) {
            if (inSection) break;
            if (!where.sectionFound && EqualNoCase(parsed.name, section)) {
                inSection = where.sectionFound = true;
                where.insertAt = line.next;
                where.insertNeedsNewLine = line.next == line.end;
            }
            continue;
        }
        if (!inSection || parsed.kind == LineKind::Blank) continue;
        where.insertAt = line.next;
        where.insertNeedsNewLine = line.next == line.end;
        if (parsed.kind == LineKind::Key && EqualNoCase(parsed.name, key)) {
            where.keyFound = true;
            where.keyLine = line;
            where.keyEquals = parsed.equals;
            break;
        }
    }
    return where;
}

} // namespace

// Blanks around the names a caller passes are ignored, as they are around the names in the
// file; otherwise " Name" would never be found and every write would add another copy.
std::optional<std::string> ProfileFile::Find(std::string_view section, std::string_view key) const {
    section = Trim(section);
    key = Trim(key);
    if (key.empty()) return std::nullopt;
    const std::string& text = content_.text();
    Location where = Locate(text, section, key);
    if (!where.keyFound) return std::nullopt;
    std::string_view raw(text.data() + where.keyEquals + 1, where.keyLine.end - where.keyEquals - 1);
    std::string_view value = Unquote(Trim(raw));
    return std::string(value.substr(0, value.find('\0')));
}

void ProfileFile::Set(std::string_view section, std::string_view key, std::string_view value) {
    section = Trim(section);
    key = Trim(key);
    if (key.empty()) return;
    const std::string& text = content_.text();
    Location where = Locate(text, section, key);
    if (where.keyFound) {
        // The blanks after "=" belong to the line's layout, not to the value.
        std::size_t valueBegin = where.keyEquals + 1;
        while (valueBegin < where.keyLine.end && kBlanks.find(text[valueBegin]) != std::string_view::npos) {
            ++valueBegin;
        }
        content_.Replace(valueBegin, where.keyLine.end, value);
        return;
    }
    const std::string_view lineEnd = LineEndOf(text);
    std::string addition;
    if (!where.sectionFound) {
        if (!text.empty() && kLineEnds.find(text.back()) == std::string_view::npos) addition.append(lineEnd);
        addition.append("[").append(section).append("]").append(lineEnd);
        addition.append(key).append("=").append(value).append(lineEnd);
        content_.Replace(text.size(), text.size(), addition);
        return;
    }
    if (where.insertNeedsNewLine) addition.append(lineEnd);
    addition.append(key).append("=").append(value).append(lineEnd);
    content_.Replace(where.insertAt, where.insertAt, addition);
}

std::string_view ProfileDefault(std::string_view defaultValue) {
    std::size_t last = defaultValue.find_last_not_of(' ');
    return defaultValue.substr(0, last == std::string_view::npos ? 0 : last + 1);
}

std::string WithProfileEntries(std::string bytes, std::span<const ProfileEntry> entries) {
    ProfileFile file(std::move(bytes));
    for (const ProfileEntry& entry : entries) file.Set(entry.section, entry.key, entry.value);
    return file.bytes();
}

} // namespace vserver::platform
