// vserverctl: the administrator console on the command line. Logs on to the server as the
// console, runs one command and reports its result; see ProgramHelp() and vserverctl.1.

#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "client/ConsoleClient.h"
#include "vserverctl/Commands.h"
#include "vserverctl/Installation.h"
#include "vserverctl/Report.h"

namespace {

using namespace vserver;
using ctl::kExitOk;
using wire::RequestType;

constexpr int kCheckUnknown = 3;

struct GlobalOptions {
    ctl::Endpoint endpoint;
    bool portGiven = false;
    ctl::CommandOptions command;
    bool json = false;
    bool help = false;
    bool version = false;
    std::vector<std::string> rest;   // the command and its arguments
};

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
    ctl::CommandOptions& command = options.command;
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
    ctl::CommandOptions& command = options.command;
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

// The first argument that is neither an option nor an option's value: the command, found
// before the options are parsed, since a failed parse leaves the command uncollected.
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

// The byte as the code page shows it, so the person can find it in what they typed.
const char* CodePageCharacter(char byte) {
    switch (static_cast<unsigned char>(byte)) {
    case 0xA6: return "\u00a6";
    case 0xA7: return "\u00a7";
    case 0xB0: return "\u00b0";
    case 0xBB: return "\u00bb";
    default: return "?";
    }
}

// Arguments that hold a reserved byte would split or end the request where they stand.
std::optional<std::string> CheckReservedBytes(const ctl::CommandSpec& command, const std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::size_t at = args[i].find_first_of("\xA6\xA7\xB0\xBB");
        if (at == std::string::npos) continue;
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned char>(args[i][at]));
        return "argument " + ctl::ArgumentName(command, args, i) + " holds the byte " + hex + " (the character " +
               CodePageCharacter(args[i][at]) + " in Windows-1252; also part of some UTF-8 characters) at byte " +
               std::to_string(at + 1) + ", which the protocol cannot carry";
    }
    return std::nullopt;
}

// The port from the installation's registry file unless --port named one.
void FindPort(GlobalOptions& options) {
    if (options.portGiven) return;
    options.endpoint.port = ctl::InstallationPort(ctl::ReadInstallation(), options.endpoint.portProblem);
}

// This program's version, and the server's when it answers.
int PrintVersions(GlobalOptions& options) {
    FindPort(options);
    ctl::Report report(options.json, "version");
    std::vector<std::string> none;
    ctl::Session session(options.endpoint, report, none, options.command);
    report.json().Key("vserverctl").String(ctl::kToolVersion);
    report.Line(std::string("vserverctl ") + ctl::kToolVersion);
    std::optional<std::string> server;
    const client::ConsoleClient::Outcome& connected = session.Connect();
    if (connected.status == client::ConsoleClient::Status::Ok) server = session.AskWithoutLogon(RequestType::ServerVersion, "version");
    report.json().Key("server");
    server ? report.json().String(*server) : report.json().Null();
    report.Line(server ? "server " + *server : "server not reachable: " + connected.error);
    // The tool's own version was asked for and printed: an unreachable server is no failure.
    return report.Emit(report.Answer(kExitOk));
}

} // namespace

int main(int argc, char** argv) {
    GlobalOptions options;
    std::string error;
    bool parsed = ParseOptions(argc, argv, options, &error);
    ctl::Report report(options.json, options.rest.empty() ? std::string() : options.rest[0]);
    // A monitoring system reads a check that cannot run as UNKNOWN, not as CRITICAL.
    const int usageStatus = CommandWord(argc, argv) == "check" ? kCheckUnknown : ctl::kExitUsage;
    if (!parsed) return report.Emit(report.Fail(usageStatus, error + " (see vserverctl --help)"));

    std::vector<std::string> args = options.rest;
    if (!args.empty() && args[0] == "help") {
        args.erase(args.begin());
        options.help = true;
    }
    if (args.empty()) {
        if (options.help) {
            std::fputs(ctl::ProgramHelp().c_str(), stdout);
            return kExitOk;
        }
        if (options.version) return PrintVersions(options);
        return report.Emit(report.Fail(usageStatus, "no command given (see vserverctl --help)"));
    }
    const ctl::CommandSpec* command = ctl::FindCommand(args[0]);
    if (command == nullptr) {
        report.SetCommand({});
        return report.Emit(report.Fail(usageStatus, "unknown command \"" + args[0] + "\" (see vserverctl --help)"));
    }
    report.SetCommand(std::string(command->name));
    args.erase(args.begin());
    if (options.help) {
        std::fputs(ctl::CommandHelp(*command).c_str(), stdout);
        return kExitOk;
    }
    if (auto problem = ctl::CheckArguments(*command, args, options.command, options.json)) {
        return report.Emit(report.Fail(usageStatus, *problem));
    }
    if (!command->localArguments) {
        if (auto problem = CheckReservedBytes(*command, args)) return report.Emit(report.Fail(usageStatus, *problem));
    }

    FindPort(options);
    ctl::Session session(options.endpoint, report, args, options.command);
    return report.Emit(command->run(session));
}
