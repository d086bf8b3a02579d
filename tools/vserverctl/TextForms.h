#pragma once
// Texts from the server's files in the forms the console prints them: the code page's bytes as
// UTF-8, and that UTF-8 made safe for a terminal table, an HTML page or a CSV cell.

#include <string>
#include <string_view>

namespace vserver::ctl {

// Every byte as its Windows-1252 character, in UTF-8.
std::string Utf8FromCodePage(std::string_view text);

// Utf8FromCodePage with control characters (TAB and line breaks too) shown as U+FFFD, so a
// name cannot break the line or the table it stands in.
std::string DisplayText(std::string_view text);

// UTF-8 text escaped for HTML content and attribute values.
std::string HtmlEscape(std::string_view utf8);

// One CSV cell (RFC 4180): quoted when it holds a separator, a quote or a line break. A text
// that a spreadsheet would take for a formula (it begins with =, +, -, @, TAB or CR) gets a
// leading apostrophe, so opening the file never runs what an account name holds.
std::string CsvCell(std::string_view utf8);

// A length of time as hours and minutes, "12:05".
std::string HoursAndMinutes(long long seconds);

// 1234567 as "1,234,567".
std::string Grouped(long long value);
// "1 session", "1,234 sessions".
std::string Counted(long long count, std::string_view one, std::string_view many);

} // namespace vserver::ctl
