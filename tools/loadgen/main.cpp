// vserver-load: drives a server on the loopback interface with N connections that each keep
// one request in flight or repeat logon cycles, or holds N idle connections open; meanwhile
// it can keep liveness checks waiting in the server. Or it plays a school's morning: every
// workstation starting up within a few seconds while a console works beside them.

#include <cstdio>
#include <string>

#include "loadgen/LoadOptions.h"
#include "loadgen/LoadRunner.h"
#include "loadgen/MorningFiles.h"
#include "loadgen/MorningReport.h"
#include "loadgen/MorningRunner.h"
#include "loadgen/ServerLaunch.h"

namespace {

using vserver::loadgen::LoadOptions;
using vserver::loadgen::LoadResult;

constexpr int kExitErrors = 1;
constexpr int kExitUsage = 2;
constexpr int kExitUnreachable = 3;

unsigned long long Count(std::uint64_t value) { return static_cast<unsigned long long>(value); }

double Microseconds(std::uint64_t nanoseconds) { return static_cast<double>(nanoseconds) / 1000.0; }

// The silent waits and the server's CPU time, when asked for, end every summary line.
void PrintExtras(const LoadOptions& options, const LoadResult& result) {
    if (options.silentWaits > 0) {
        double meanWait = result.waitsEnded > 0 ? result.waitedSeconds / static_cast<double>(result.waitsEnded) : 0;
        std::printf(" silent_waits=%d mean_waits=%.2f waits_ended=%llu mean_wait_secs=%.2f", options.silentWaits,
                    result.meanWaits, Count(result.waitsEnded), meanWait);
    }
    if (options.serverPid > 0) {
        std::printf(" server_cpu_ms=%.0f server_cpu=%.1f%%", 1000.0 * result.serverCpuSeconds,
                    100.0 * result.serverCpuSeconds / result.measuredSeconds);
    }
    std::printf("\n");
}

void PrintLoadSummary(const LoadOptions& options, const LoadResult& result) {
    const auto& latency = result.latency;
    const char* mode = options.logonCycles ? "logon-cycles" : "requests";
    const char* unit = options.logonCycles ? "cycles" : "reqs";
    const char* rate = options.logonCycles ? "cps" : "rps";
    std::printf("mode=%s conns=%d secs=%.1f reqlen=%zu %s=%llu %s=%.0f p50_us=%.1f p99_us=%.1f p999_us=%.1f "
                "max_us=%.1f errors=%llu lost=%llu stalled=%llu connect_secs=%.2f client_cpu=%.0f%%",
                mode, options.connections, options.seconds, options.logonCycles ? std::size_t{0} : options.request.size(),
                unit, Count(result.replies), rate, static_cast<double>(result.replies) / result.measuredSeconds,
                Microseconds(latency.ValueAtPercentile(50)), Microseconds(latency.ValueAtPercentile(99)),
                Microseconds(latency.ValueAtPercentile(99.9)), Microseconds(latency.max()), Count(result.errors),
                Count(result.lost), Count(result.stalled), result.connectSeconds, 100.0 * result.clientCpuShare);
    PrintExtras(options, result);
}

void PrintIdleSummary(const LoadOptions& options, const LoadResult& result) {
    std::printf("mode=idle conns=%d secs=%.1f connect_secs=%.2f errors=%llu lost=%llu", options.connections,
                options.seconds, result.connectSeconds, Count(result.errors), Count(result.lost));
    PrintExtras(options, result);
}

int Fails(const std::string& error, int status) {
    std::fprintf(stderr, "vserver-load: %s\n", error.c_str());
    return status;
}

int PrepareMorning(LoadOptions& options) {
    std::string error;
    if (!vserver::loadgen::morning::PrepareFolder(options.folder, options.workstations, options.accountPrefix, &error)) {
        return Fails(error, kExitUnreachable);
    }
    std::printf("prepared %d accounts in %s\n", options.workstations, options.folder.c_str());
    return 0;
}

// Runs the scenario against the server at the options' port, or one it starts in the folder.
int RunMorning(LoadOptions& options) {
    namespace morning = vserver::loadgen::morning;
    std::string error;
    morning::Expectations plan;
    if (!morning::LoadExpectations(options.folder, options.workstations, options.accountPrefix, plan, &error)) {
        return Fails(error, kExitUsage);
    }
    vserver::loadgen::LaunchedServer server;
    if (!options.serverBinary.empty()) {
        if (!server.Start(options.serverBinary, options.folder, &error)) return Fails(error, kExitUnreachable);
        options.port = server.port();
        options.serverPid = server.pid();
    }
    // The older sessions' logons are the run's first statistics lines.
    std::size_t statisticsStart = morning::StatisticsSize(options.folder);
    morning::MorningRunner runner(options, plan);
    if (!runner.Prepare(&error)) return Fails(error, kExitUsage);
    if (!runner.SetUp(&error)) return Fails(error, kExitUnreachable);
    runner.Run(options.folder, statisticsStart);
    const morning::MorningResult& result = runner.result();
    morning::PrintMorningReport(options, plan, result);
    if (!server.Stop()) return Fails("the server did not end normally when asked to stop", kExitErrors);
    if (result.Errors() > 0) {
        std::string first = result.problems.empty() ? std::string("see the report") : result.problems.front();
        return Fails(std::to_string(result.Errors()) + " errors; first: " + first, kExitErrors);
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    LoadOptions options;
    std::string error;
    switch (vserver::loadgen::ParseLoadOptions(argc, argv, options, &error)) {
    case vserver::loadgen::ParseStatus::Help:
        std::fputs(vserver::loadgen::LoadUsage().c_str(), stdout);
        return 0;
    case vserver::loadgen::ParseStatus::Invalid:
        std::fprintf(stderr, "vserver-load: %s (see --help)\n", error.c_str());
        return kExitUsage;
    case vserver::loadgen::ParseStatus::Run: break;
    }

    if (options.morning) return options.prepare ? PrepareMorning(options) : RunMorning(options);

    vserver::loadgen::LoadRunner runner(options);
    if (!runner.Prepare(&error)) {
        std::fprintf(stderr, "vserver-load: %s\n", error.c_str());
        return kExitUsage;
    }
    if (!runner.OpenAll(&error)) {
        std::fprintf(stderr, "vserver-load: %s\n", error.c_str());
        return kExitUnreachable;
    }
    if (!runner.SetUpSilentWaits(&error)) {
        std::fprintf(stderr, "vserver-load: %s\n", error.c_str());
        return kExitUnreachable;
    }
    if (options.idle) {
        std::fprintf(stderr, "vserver-load: %d connections open, holding them idle for %.1f s\n",
                     options.connections, options.seconds);
    }
    runner.Run();

    const LoadResult& result = runner.result();
    if (options.idle) {
        PrintIdleSummary(options, result);
    } else {
        PrintLoadSummary(options, result);
        if (result.replies == 0) {
            std::fprintf(stderr, "vserver-load: no replies in the measured window\n");
            return kExitErrors;
        }
    }
    if (result.errors > 0) {
        std::fprintf(stderr, "vserver-load: %llu errors; last: %s\n", Count(result.errors), runner.lastError().c_str());
        return kExitErrors;
    }
    return 0;
}
