#include "loadgen/MorningReport.h"

#include <cstdio>
#include <string>

namespace vserver::loadgen::morning {

namespace {

// The short names of the request kinds in the summary line.
constexpr std::array<const char*, kKinds> kKeys = {"logon", "read", "messages", "toolbars", "write",
                                                   "event", "last", "confirm", "queue", "sessions"};

unsigned long long Count(std::uint64_t value) { return static_cast<unsigned long long>(value); }
double Ms(std::uint64_t nanoseconds) { return static_cast<double>(nanoseconds) / 1e6; }

void PrintLatencyRow(const char* name, const LatencyHistogram& latency, std::uint64_t wrong) {
    std::printf("  %-22s %7llu %9.2f %9.2f %9.2f %7llu\n", name, Count(latency.count()), Ms(latency.ValueAtPercentile(50)),
                Ms(latency.ValueAtPercentile(99)), Ms(latency.max()), Count(wrong));
}

void PrintTable(const LoadOptions& options, const Expectations& plan, const MorningResult& result) {
    double perWorkstation = 1.0 / plan.workstations;
    std::printf("morning: %d workstations over %.1f s (%llu also logged on elsewhere), %llu messages queued, %llu session lists\n",
                plan.workstations, options.ramp, Count(result.checksExpected), Count(result.queued), Count(result.lists));
    std::printf("  %-22s %7s %9s %9s %9s %7s\n", "request", "count", "p50 ms", "p99 ms", "max ms", "wrong");
    for (int kind = 0; kind < kKinds; ++kind) {
        PrintLatencyRow(KindName(static_cast<Kind>(kind)), result.latency[static_cast<std::size_t>(kind)],
                        result.wrong[static_cast<std::size_t>(kind)]);
    }
    PrintLatencyRow("connect to start-up end", result.startUp, 0);
    std::printf("  window %.2f s; load client CPU %.1f ms per workstation\n", result.windowSeconds,
                1000.0 * result.clientCpuSeconds * perWorkstation);
    if (result.serverCpuSeconds >= 0) {
        std::printf("  server CPU %.3f s in the window: %.3f ms per workstation\n", result.serverCpuSeconds,
                    1000.0 * result.serverCpuSeconds * perWorkstation);
    }
    if (result.serverWrittenBytes >= 0) {
        std::printf("  server writes to disk %.0f KB: %.2f KB per workstation\n", result.serverWrittenBytes / 1024,
                    result.serverWrittenBytes * perWorkstation / 1024);
    }
    const DeliveryLedger::Totals& queue = result.queue;
    std::printf("  queued messages: %llu acknowledged (%zu from before), %llu delivered, %llu lost, %llu twice, %llu wrong, "
                "%llu refused, %llu unanswered\n",
                Count(queue.acknowledged), plan.queuedMessages.size(), Count(queue.delivered), Count(queue.lost),
                Count(queue.repeated), Count(queue.wrong), Count(queue.refused), Count(queue.unanswered));
    std::printf("  liveness checks answered %llu of %llu; session lists wrong %llu of %llu; statistics file %s\n",
                Count(result.checksAnswered), Count(result.checksExpected), Count(result.listErrors), Count(result.lists),
                result.statisticsProblem.empty() ? "right" : result.statisticsProblem.c_str());
    std::printf("  connections lost %llu, connects retried %llu, left unanswered %llu\n", Count(result.lostConnections),
                Count(result.connectRetries), Count(result.stalled));
    for (const std::string& problem : result.problems) std::printf("  problem: %s\n", problem.c_str());
}

void PrintSummaryLine(const LoadOptions& options, const Expectations& plan, const MorningResult& result) {
    double perWorkstation = 1.0 / plan.workstations;
    std::printf("mode=morning workstations=%d ramp=%.1f window_secs=%.2f", plan.workstations, options.ramp, result.windowSeconds);
    for (std::size_t kind = 0; kind < kKeys.size(); ++kind) {
        const LatencyHistogram& latency = result.latency[kind];
        std::printf(" %s_n=%llu %s_p50_ms=%.3f %s_p99_ms=%.3f %s_max_ms=%.3f %s_wrong=%llu", kKeys[kind], Count(latency.count()),
                    kKeys[kind], Ms(latency.ValueAtPercentile(50)), kKeys[kind], Ms(latency.ValueAtPercentile(99)), kKeys[kind],
                    Ms(latency.max()), kKeys[kind], Count(result.wrong[kind]));
    }
    std::printf(" startup_n=%llu startup_p50_ms=%.3f startup_p99_ms=%.3f startup_max_ms=%.3f", Count(result.startUps),
                Ms(result.startUp.ValueAtPercentile(50)), Ms(result.startUp.ValueAtPercentile(99)), Ms(result.startUp.max()));
    std::printf(" client_cpu_ms_per_ws=%.3f", 1000.0 * result.clientCpuSeconds * perWorkstation);
    if (result.serverCpuSeconds >= 0) std::printf(" server_cpu_ms_per_ws=%.4f", 1000.0 * result.serverCpuSeconds * perWorkstation);
    if (result.serverWrittenBytes >= 0) std::printf(" server_write_bytes_per_ws=%.0f", result.serverWrittenBytes * perWorkstation);
    const DeliveryLedger::Totals& queue = result.queue;
    std::printf(" acknowledged=%llu delivered=%llu lost=%llu repeated=%llu wrong_deliveries=%llu refused=%llu unanswered=%llu",
                Count(queue.acknowledged), Count(queue.delivered), Count(queue.lost), Count(queue.repeated), Count(queue.wrong),
                Count(queue.refused), Count(queue.unanswered));
    std::printf(" checks=%llu lists=%llu list_errors=%llu statistics_ok=%d lost_connections=%llu connect_retries=%llu stalled=%llu "
                "errors=%llu\n",
                Count(result.checksAnswered), Count(result.lists), Count(result.listErrors), result.statisticsProblem.empty() ? 1 : 0,
                Count(result.lostConnections), Count(result.connectRetries), Count(result.stalled), Count(result.Errors()));
}

} // namespace

void PrintMorningReport(const LoadOptions& options, const Expectations& plan, const MorningResult& result) {
    PrintTable(options, plan, result);
    PrintSummaryLine(options, plan, result);
}

} // namespace vserver::loadgen::morning
