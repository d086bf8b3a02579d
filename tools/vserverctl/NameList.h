#pragma once
// The lists of account names that create and delete --from read: one name per line, or the
// first column of a CSV file with a header line, as a spreadsheet exports it.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vserver::ctl {

struct ListedName {
    std::string name;
    long long line = 0;   // where its record begins, counted from 1
};

// The names of text, in order. A table is a file whose name ends in ".csv" (any capitals), or
// whose first line that is not blank or a comment holds a comma, semicolon or TAB; its first
// such line is the header, and its separator the first of those three it holds. Quoted cells
// may hold separators, quotes ("") and line breaks. Blank lines and lines whose first
// non-blank character is "#" are skipped in both forms; blanks and TABs around a name are
// dropped, and so is a UTF-8 byte order mark at the start.
std::vector<ListedName> ParseNameList(std::string_view text, std::string_view fileName);

// Reads path ("-" for standard input) and parses it; the error line when it cannot be read.
std::optional<std::string> ReadNameList(const std::string& path, std::vector<ListedName>& names);

} // namespace vserver::ctl
