#pragma once
// The usage report's tables as the console prints them: text for a person, one table as CSV
// for a spreadsheet, everything as JSON. The tally owns the figures; these only lay them out.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vserverctl/Report.h"
#include "vserverctl/UsageTally.h"

namespace vserver::ctl {

// The tables --by may name.
inline constexpr std::string_view kUsageTables[] = {"accounts", "workstations", "days", "hours", "events", "unreadable"};

// The accounts and workstations the period saw, by name (without regard to case), and the
// event codes by count, most first.
std::vector<const AccountUsage*> SeenAccounts(const UsageTally& tally);
std::vector<const WorkstationUsage*> SeenWorkstations(const UsageTally& tally);
std::vector<const EventUsage*> EventsByCount(const UsageTally& tally);

// The period as the report names it: "2008-01-07 to 2008-01-11", or from the first to the last
// line read when no limit was given.
std::string PeriodText(const UsageTally& tally);

// The rows of one table as text shows them (UTF-8, control characters replaced), header first.
std::vector<std::vector<std::string>> UsageTableRows(const UsageTally& tally, std::string_view table);

void AddUsageText(Report& report, const UsageTally& tally, const std::vector<std::string>& sources);
// One table as CSV lines, the header first.
void AddUsageCsv(Report& report, const UsageTally& tally, std::string_view table);
void AddUsageJson(JsonWriter& json, const UsageTally& tally, const std::vector<std::string>& sources);

} // namespace vserver::ctl
