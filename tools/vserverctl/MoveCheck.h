#pragma once
// What stands in the way of moving an installation's folders between Windows and Linux: names
// that only one of the systems can hold or that the clients cannot reach, accounts without a
// preference file, and temporaries a stopped server left behind. Read without a server.

#include <string>
#include <string_view>
#include <vector>

namespace vserver::ctl {

struct MoveFinding {
    std::string kind;    // a short fixed word: what kind of finding it is
    std::string path;    // the entry, as the folder was given and the names are stored
    std::string detail;  // what it means and what to do, one sentence
};

// Why Windows refuses to hold an entry of this name (UTF-8 as stored), or "" when it does not.
std::string WindowsRefusal(std::string_view name);

// The findings about the names of one folder, as the file system stores them: names that are
// not UTF-8, names with characters the clients' code page lacks, names Windows refuses, and
// names that differ from another one only in capitals.
void CheckNames(const std::string& folder, const std::vector<std::string>& names, std::vector<MoveFinding>& out);

// Everything found below the master folder (the one that holds Users), its whole tree walked.
// A folder that cannot be read is a finding too.
std::vector<MoveFinding> CheckMasterFolder(const std::string& master);

// A path's bytes as a terminal can show them: UTF-8 as it is, any other byte as "\xNN".
std::string Printable(std::string_view path);

} // namespace vserver::ctl
