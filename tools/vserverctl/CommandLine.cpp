#include "vserverctl/CommandLine.h"

#include <getopt.h>

#include <cstdlib>
#include <optional>
#include <string_view>

namespace vserver::ctl {

namespace {

enum LongOnly {
    kHost = 256, kPort, kTimeout, kJson, kForce, kFollow, kVersion, kLines, kFile, kFrom, kTo, kCsv, kBy, kHtml,
    kAll, kDryRun, kWarning, kCritical,
};

const option kOptions[] = {
    {"host", required_argument, nullptr, kHost},
    {"port", required_argument, nullptr, kPort},
    {"timeout", required_argument, nullptr, kTimeout},
    {"json", no_argument, nullptr, kJson},
    {"force", no_argument, nullptr, kForce},
    {"follow", no_argument, nullptr, kFollow},
    {"lines", required_argument, nullptr, kLines},
    {"file", required_argument, nullptr, kFile},
    {"from", required_argument, nullptr, kFrom},
    {"to", required_argument, nullptr, kTo},
    {"csv", no_argument, nullptr, kCsv},
    {"by", required_argument, nullptr, kBy},
    {"html", required_argument, nullptr, kHtml},
    {"all", no_argument, nullptr, kAll},
    {"dry-run", no_argument, nullptr, kDryRun},
    {"warning", required_argument, nullptr, kWarning},
    {"critical", required_argument, nullptr, kCritical},
    {"version", no_argument, nullptr, kVersion},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

std::optional<long> WholeNumber(const char* text, long low, long high) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (*text == '\0' || *end != '\0' || value < low || value > high) return std::nullopt;
    return value;
}

// The options that take a value; false with the reason when the value is not one.
bool TakeValue(int code, const char* value, GlobalOptions& options, std::string* error) {
    CommandOptions& command = options.command;
    switch (code) {
    case 'H':
    case kHost: options.endpoint.host = value; return true;
    case 'p':
    case kPort:
        if (auto port = WholeNumber(value, 1, 65535)) {
            options.endpoint.port = static_cast<int>(*port);
            options.portGiven = true;
            return true;
        }
        *error = "invalid port " + std::string(value);
        return false;
    case 't':
    case kTimeout: {
        char* end = nullptr;
        const double seconds = std::strtod(value, &end);
        if (*value == '\0' || *end != '\0' || !(seconds > 0) || seconds > 3600) {
            *error = "invalid timeout " + std::string(value) + " (seconds, more than 0)";
            return false;
        }
        options.endpoint.timeout = std::chrono::milliseconds(static_cast<long long>(seconds * 1000.0 + 0.5));
        return true;
    }
    case 'n':
    case kLines:
        if (auto lines = WholeNumber(value, 0, 1'000'000'000)) {
            command.lines = *lines;
            return true;
        }
        *error = "invalid number of records " + std::string(value);
        return false;
    case kFile: command.files.emplace_back(value); return true;
    case kFrom: command.from = value; return true;
    case kTo: command.to = value; return true;
    case kBy: command.by = value; return true;
    case kHtml: command.html = value; return true;
    case 'w':
    case kWarning: command.warning = value; return true;
    case 'c':
    case kCritical: command.critical = value; return true;
    default: return false;
    }
}

// The options that are switches; false for a code that is none of them.
bool TakeSwitch(int code, GlobalOptions& options) {
    CommandOptions& command = options.command;
    switch (code) {
    case kJson: options.json = command.json = true; return true;
    case kForce: command.force = true; return true;
    case 'f':
    case kFollow: command.follow = true; return true;
    case kCsv: command.csv = true; return true;
    case kAll: command.all = true; return true;
    case kDryRun: command.dryRun = true; return true;
    case kVersion: options.version = true; return true;
    case 'h': options.help = true; return true;
    default: return false;
    }
}

} // namespace

std::string CommandWord(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        const std::string_view word = argv[i];
        if (word == "--") return i + 1 < argc ? argv[i + 1] : "";
        if (word.empty() || word.front() != '-') return std::string(word);
        if (word.size() == 2 && std::string_view("nwcHpt").find(word[1]) != std::string_view::npos) {
            ++i;
            continue;
        }
        for (const option& known : kOptions) {
            if (known.name != nullptr && known.has_arg == required_argument && word.substr(2) == known.name) ++i;
        }
    }
    return {};
}

// Options may stand anywhere on the line: getopt_long moves the command and its arguments
// behind them, and "--" ends the options for arguments that begin with "-".
bool ParseOptions(int argc, char** argv, GlobalOptions& options, std::string* error) {
    opterr = 0;
    optind = 1;
    for (;;) {
        const int code = ::getopt_long(argc, argv, ":hfn:w:c:H:p:t:", kOptions, nullptr);
        if (code == -1) break;
        // The element just read; a short option unknown inside a group is named by itself.
        std::string given = optind > 0 ? argv[optind - 1] : "";
        if (code == '?' && optopt != 0) given = std::string("-") + static_cast<char>(optopt);
        if (code == ':') {
            *error = "missing value after " + given;
            return false;
        }
        if (TakeSwitch(code, options)) continue;
        if (code != '?' && optarg != nullptr && TakeValue(code, optarg, options, error)) continue;
        if (error->empty()) *error = "unknown option " + given.substr(0, given.find('='));
        return false;
    }
    for (int i = optind; i < argc; ++i) options.rest.emplace_back(argv[i]);
    return true;
}

} // namespace vserver::ctl
