#pragma once
// The morning scenario's files, laid out as beside an installed server: folder/master/Users
// with the master preference file and one home folder and preference file per account, the two
// queue files with items left from the day before, and a registry file for a server installed
// in folder. The run takes its expected replies from these files as it finds them, so a folder
// can be run again without preparing it anew.

#include <cstddef>
#include <string>

#include "loadgen/MorningPlan.h"

namespace vserver::loadgen::morning {

std::string UsersFolder(const std::string& folder);

// Creates the files for accounts prefix0 to prefix<workstations - 1>, overwriting what the
// scenario changes (preference files, queue files); a registry file is written only where there
// is none. An empty folder is replaced by a new folder under the temporary folder. False with
// *error naming the path that could not be written.
bool PrepareFolder(std::string& folder, int workstations, const std::string& prefix, std::string* error);

// Reads what the files promise the run: each account's preference values, the toolbar sets
// and messages queued for it. False with *error when an account's folder or a file is missing.
bool LoadExpectations(const std::string& folder, int workstations, const std::string& prefix, Expectations& plan,
                      std::string* error);

// The size of the statistics file now (0 when there is none), where the run's lines will begin.
std::size_t StatisticsSize(const std::string& folder);
// The statistics file's bytes (empty when there is none).
std::string StatisticsText(const std::string& folder);

// The value of key in section of an initialization file's text (names matched without regard to
// case, the first of equal keys counts, blanks around names and values ignored), or fallback
// when it is missing or empty.
std::string ProfileValue(const std::string& text, const std::string& section, const std::string& key,
                         const std::string& fallback);

} // namespace vserver::loadgen::morning
