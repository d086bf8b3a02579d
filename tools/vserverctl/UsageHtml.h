#pragma once
// The usage report as one self-contained HTML page: a summary in sentences, four charts drawn
// as inline SVG, and the tables. Nothing in it runs or is fetched, and it prints as it shows.

#include <string>
#include <vector>

#include "vserverctl/UsageTally.h"

namespace vserver::ctl {

std::string UsageHtmlPage(const UsageTally& tally, const std::vector<std::string>& sources);

} // namespace vserver::ctl
