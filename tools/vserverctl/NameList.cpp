#include "vserverctl/NameList.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "formats/TextCase.h"
#include "platform/FileSystem.h"
#include "vserverctl/Terminal.h"

namespace vserver::ctl {

namespace {

constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
constexpr std::string_view kBlanks = " \t\r";

std::string_view Trimmed(std::string_view text) {
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) return {};
    return text.substr(first, text.find_last_not_of(kBlanks) - first + 1);
}

bool Skipped(std::string_view line) {
    const std::string_view trimmed = Trimmed(line);
    return trimmed.empty() || trimmed.front() == '#';
}

// The first line that is not blank or a comment.
std::string_view FirstEntryLine(std::string_view text) {
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        if (!Skipped(text.substr(0, end))) return text.substr(0, end);
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return {};
}

// One CSV record from the start of text: its first cell (quotes undone) and where the record
// ends; a quoted cell may run over line breaks.
std::string FirstCell(std::string_view text, char separator, std::size_t& end, long long& lineBreaks) {
    std::string first;
    bool inFirst = true;
    bool quoted = false;
    bool fieldStart = true;   // nothing but blanks read of the current cell
    std::size_t at = 0;
    for (; at < text.size(); ++at) {
        const char c = text[at];
        if (c == '\n') ++lineBreaks;
        if (quoted) {
            const bool doubled = c == '"' && at + 1 < text.size() && text[at + 1] == '"';
            if (c == '"' && !doubled) quoted = false;
            else if (inFirst) first += c;
            if (doubled) ++at;
            continue;
        }
        if (c == '\n') {
            --lineBreaks;
            break;
        }
        if (c == separator) {
            inFirst = false;
            fieldStart = true;
        } else if (c == '"' && fieldStart) {
            quoted = true;
            fieldStart = false;
            if (inFirst) first.clear();
        } else {
            if (c != ' ' && c != '\t') fieldStart = false;
            if (inFirst) first += c;
        }
    }
    end = at;
    return std::string(Trimmed(first));
}

std::vector<ListedName> PlainNames(std::string_view text) {
    std::vector<ListedName> names;
    long long line = 0;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        ++line;
        if (!Skipped(text.substr(0, end))) names.push_back({std::string(Trimmed(text.substr(0, end))), line});
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return names;
}

std::vector<ListedName> TableNames(std::string_view text, char separator) {
    std::vector<ListedName> names;
    long long line = 1;
    bool header = true;
    while (!text.empty()) {
        const std::size_t lineEnd = std::min(text.find('\n'), text.size());
        if (Skipped(text.substr(0, lineEnd))) {
            text.remove_prefix(std::min(lineEnd + 1, text.size()));
            ++line;
            continue;
        }
        std::size_t end = 0;
        long long lineBreaks = 0;
        std::string name = FirstCell(text, separator, end, lineBreaks);
        if (!header && !name.empty()) names.push_back({std::move(name), line});
        header = false;
        line += lineBreaks + 1;
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return names;
}

bool EndsWithCsv(std::string_view fileName) {
    return fileName.size() >= 4 && platform::EqualNoCase(fileName.substr(fileName.size() - 4), ".csv");
}

} // namespace

std::vector<ListedName> ParseNameList(std::string_view text, std::string_view fileName) {
    if (text.substr(0, kByteOrderMark.size()) == kByteOrderMark) text.remove_prefix(kByteOrderMark.size());
    const std::string_view first = FirstEntryLine(text);
    const std::size_t separatorAt = first.find_first_of(",;\t");
    // A line with a TAB only after the name is a name with trailing blanks, not a table.
    const bool tabInside = separatorAt != std::string_view::npos && first[separatorAt] == '\t' &&
                           !Trimmed(first.substr(separatorAt)).empty();
    const bool table = EndsWithCsv(fileName) ||
                       (separatorAt != std::string_view::npos && (first[separatorAt] != '\t' || tabInside));
    if (!table) return PlainNames(text);
    return TableNames(text, separatorAt == std::string_view::npos ? ',' : first[separatorAt]);
}

std::optional<std::string> ReadNameList(const std::string& path, std::vector<ListedName>& names) {
    std::string text;
    if (path == "-") {
        ReadStandardInputAsBytes();
        char chunk[65536];
        std::size_t got = 0;
        while ((got = std::fread(chunk, 1, sizeof chunk, stdin)) > 0) text.append(chunk, got);
        if (std::ferror(stdin)) return "cannot read standard input: " + std::string(std::strerror(errno));
    } else if (platform::SysResult read = platform::ReadWholeFile(path, text); !read) {
        return "cannot read " + path + ": " + read.Describe();
    }
    names = ParseNameList(text, path == "-" ? std::string_view() : std::string_view(path));
    return std::nullopt;
}

} // namespace vserver::ctl
