// vserverctl report: reads statistics files line by line, without a server, and prints the
// usage of a period as text, one table as CSV, everything as JSON, or a page with charts.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "platform/FileSystem.h"
#include "vserverctl/Commands.h"
#include "vserverctl/Installation.h"
#include "vserverctl/Terminal.h"
#include "vserverctl/TextForms.h"
#include "vserverctl/UsageHtml.h"
#include "vserverctl/UsageTables.h"

namespace vserver::ctl {

namespace {

constexpr std::size_t kChunk = 1 << 20;
// Of a longer line only this much is read: enough for any line the server writes.
constexpr std::size_t kLongestLine = 1 << 20;

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};

// Hands every line of in to tally, its line end (LF or CR LF) removed. False when reading
// failed part way.
bool ReadLines(std::FILE* in, const std::string& source, UsageTally& tally) {
    std::unique_ptr<char[]> buffer(new char[kChunk]);
    std::string carried;   // the start of a line that the previous chunk cut
    long long number = 0;
    auto take = [&](std::string_view line) {
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        tally.AddLine(line, source, ++number);
    };
    for (;;) {
        const std::size_t got = std::fread(buffer.get(), 1, kChunk, in);
        if (got == 0) break;
        std::string_view chunk(buffer.get(), got);
        for (std::size_t end = chunk.find('\n'); end != std::string_view::npos; end = chunk.find('\n')) {
            if (carried.empty()) {
                take(chunk.substr(0, end));
            } else {
                carried.append(chunk.substr(0, std::min(end, kLongestLine - std::min(kLongestLine, carried.size()))));
                take(carried);
                carried.clear();
            }
            chunk.remove_prefix(end + 1);
        }
        carried.append(chunk.substr(0, kLongestLine - std::min(kLongestLine, carried.size())));
    }
    if (std::ferror(in)) return false;
    if (!carried.empty()) take(carried);
    return true;
}

// Reads one source ("-" is standard input); an error line when it cannot be read.
std::optional<std::string> ReadSource(const std::string& source, UsageTally& tally) {
    if (source == "-") {
        ReadStandardInputAsBytes();
        if (!ReadLines(stdin, "standard input", tally)) return "cannot read standard input: " + std::string(std::strerror(errno));
        return std::nullopt;
    }
    std::unique_ptr<std::FILE, FileCloser> file(std::fopen(source.c_str(), "rb"));
    if (!file) return "cannot open " + source + ": " + std::strerror(errno);
    if (!ReadLines(file.get(), source, tally)) return "cannot read " + source + ": " + std::strerror(errno);
    return std::nullopt;
}

// The files named on the command line, or the installation's statistics file, found in any
// capitals as the server finds it.
std::optional<std::vector<std::string>> Sources(Session& session) {
    std::vector<std::string> sources = session.options.files;
    sources.insert(sources.end(), session.args.begin(), session.args.end());
    if (!sources.empty()) return sources;
    const Installation installation = ReadInstallation();
    const std::optional<std::string> path = installation.StatisticsPath();
    if (!path) {
        session.failureStatus = session.report.Fail(
            kExitFalse, "MasterPath is not set in " +
                            (installation.inSystemRegistry() ? std::string("the system registry") : installation.registryPath) +
                            ", so there is no statistics file to read; give --file");
        return std::nullopt;
    }
    return std::vector<std::string>{platform::ResolveExisting(*path).value_or(*path)};
}

ReportPeriod PeriodOf(const CommandOptions& options) {
    ReportPeriod period;
    if (options.from) period.firstDay = *ParseReportDate(*options.from);
    if (options.to) period.lastDay = *ParseReportDate(*options.to);
    return period;
}

int WriteHtml(Session& session, const UsageTally& tally, const std::vector<std::string>& sources) {
    const std::string& path = *session.options.html;
    if (platform::SysResult written = platform::ReplaceFileContent(path, UsageHtmlPage(tally, sources)); !written) {
        return session.report.Fail(kExitFalse, "cannot write " + path + ": " + written.Describe());
    }
    session.report.json().Key("html").String(path);
    if (!session.options.csv && !session.options.json) {
        session.report.Line("wrote " + path + ": " + Grouped(tally.totals().sessions) + " sessions, " +
                            PeriodText(tally));
    }
    return kExitOk;
}

} // namespace

std::optional<std::string> CheckReportOptions(const CommandOptions& options) {
    if (options.csv && options.json) return "--csv and --json each print the report; give one";
    if (options.by && !options.csv) return "--by chooses the table --csv prints";
    if (options.by && std::find(std::begin(kUsageTables), std::end(kUsageTables), *options.by) == std::end(kUsageTables)) {
        return "unknown table \"" + *options.by + "\" (accounts, workstations, days, hours, events or unreadable)";
    }
    for (const std::optional<std::string>* date : {&options.from, &options.to}) {
        if (*date && !ParseReportDate(**date)) return "invalid date " + **date + " (YYYY-MM-DD or MM/DD/YY)";
    }
    if (options.from && options.to && *ParseReportDate(*options.to) < *ParseReportDate(*options.from)) {
        return "--to " + *options.to + " lies before --from " + *options.from;
    }
    return std::nullopt;
}

int RunReport(Session& session) {
    const std::optional<std::vector<std::string>> sources = Sources(session);
    if (!sources) return session.failureStatus;
    UsageTally tally(PeriodOf(session.options));
    for (const std::string& source : *sources) {
        if (auto problem = ReadSource(source, tally)) {
            // The installation's own file is missing as long as the server has written no line.
            const bool own = session.options.files.empty() && session.args.empty();
            return session.report.Fail(kExitFalse, *problem + (own ? " (the server writes it while its option "
                                                                     "LogUserStatistics is True)"
                                                                   : ""));
        }
    }
    tally.Finish();
    if (session.options.html) {
        if (const int status = WriteHtml(session, tally, *sources); status != kExitOk) return status;
    }
    if (session.options.csv) {
        AddUsageCsv(session.report, tally, session.options.by.value_or("accounts"));
    } else if (session.options.json) {
        AddUsageJson(session.report.json(), tally, *sources);
    } else if (!session.options.html) {
        AddUsageText(session.report, tally, *sources);
    }
    return kExitOk;
}

} // namespace vserver::ctl
