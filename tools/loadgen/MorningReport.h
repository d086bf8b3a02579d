#pragma once
// The morning scenario's report: a table for people (each request type's latencies, the
// start-ups, what the server spent per workstation, the queue's accounts and every check),
// then one line of name=value pairs for scripts.

#include "loadgen/LoadOptions.h"
#include "loadgen/MorningRunner.h"

namespace vserver::loadgen::morning {

void PrintMorningReport(const LoadOptions& options, const Expectations& plan, const MorningResult& result);

} // namespace vserver::loadgen::morning
