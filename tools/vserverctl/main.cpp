// vserverctl: the administrator console on the command line. Logs on to the server as the
// console, runs one command and reports its result; see ProgramHelp() and vserverctl.1.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "client/ConsoleClient.h"
#include "client/RegistryPort.h"
#include "vserverctl/Commands.h"
#include "vserverctl/Report.h"

namespace {

using namespace vserver;
using ctl::kExitOk;
using ctl::kExitUnreachable;
using ctl::kExitUsage;

constexpr double kDefaultTimeoutSeconds = 5.0;
constexpr const char* kSessionDetail = "vserverctl";
constexpr const char* kPackagedRegistry = "/etc/vantorel-server/VServerService.reg";
constexpr const char* kPackagedLogFolder = "/var/log/vantorel-server";

struct GlobalOptions {
    std::string host = "127.0.0.1";
    std::optional<int> port;
    double timeoutSeconds = kDefaultTimeoutSeconds;
    bool json = false;
    bool help = false;
    std::vector<std::string> rest;   // the command and its arguments
};

std::optional<std::string> ReadWholeFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string ExecutableFolder() {
    char path[4096];
    ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0) return ".";
    std::string full(path, static_cast<std::size_t>(n));
    std::size_t slash = full.rfind('/');
    return slash == std::string::npos ? "." : full.substr(0, slash);
}

std::string FromEnvironment(const char* name, std::string fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? std::string(value) : std::move(fallback);
}

// The server's registry file and the folder of its service log. Beside this program in an
// installation by hand; where a package puts them when no registry file is beside it. The
// server's own variables name either file elsewhere.
struct ServerFiles {
    std::string registry;
    std::string logFolder;
};

ServerFiles FindServerFiles() {
    std::string folder = ExecutableFolder();
    ServerFiles files{folder + "/VServerService.reg", folder};
    if (::access(files.registry.c_str(), F_OK) != 0) files = {kPackagedRegistry, kPackagedLogFolder};
    return {FromEnvironment("VSERVER_REGISTRY", files.registry), FromEnvironment("VSERVER_LOG_FOLDER", files.logFolder)};
}

// The port of the installed server: its registry file's PortNumber, and for PortNumber 0 the
// port its service log says it listens on.
std::optional<int> PortOfInstalledServer(std::string* error) {
    const ServerFiles files = FindServerFiles();
    std::optional<std::string> text = ReadWholeFile(files.registry);
    if (!text) return client::kDefaultPort;
    int port = client::PortFromRegistryText(*text);
    if (port != 0) return port;
    std::optional<std::string> log = ReadWholeFile(files.logFolder + "/ServiceLog.log");
    std::optional<int> listening = log ? client::PortFromServiceLog(*log) : std::nullopt;
    if (!listening) *error = files.registry + " lets the system choose the port and no service log names it; give --port";
    return listening;
}

bool ParseGlobalOptions(int argc, char** argv, GlobalOptions& options, std::string* error) {
    int i = 1;
    for (; i < argc; ++i) {
        std::string name = argv[i];
        if (name.empty() || name[0] != '-') break;
        if (name == "--help" || name == "-h") {
            options.help = true;
            continue;
        }
        if (name == "--json") {
            options.json = true;
            continue;
        }
        if (name != "--host" && name != "--port" && name != "--timeout") {
            *error = "unknown option " + name;
            return false;
        }
        if (i + 1 >= argc) {
            *error = "missing value after " + name;
            return false;
        }
        std::string value = argv[++i];
        char* end = nullptr;
        if (name == "--host") {
            options.host = value;
        } else if (name == "--port") {
            long port = std::strtol(value.c_str(), &end, 10);
            if (value.empty() || *end != '\0' || port < 1 || port > 65535) {
                *error = "invalid port " + value;
                return false;
            }
            options.port = static_cast<int>(port);
        } else {
            double seconds = std::strtod(value.c_str(), &end);
            if (value.empty() || *end != '\0' || !(seconds > 0) || seconds > 3600) {
                *error = "invalid timeout " + value + " (seconds, more than 0)";
                return false;
            }
            options.timeoutSeconds = seconds;
        }
    }
    for (; i < argc; ++i) options.rest.emplace_back(argv[i]);
    return true;
}

std::string SessionLabel() {
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "vserverctl";
    return name;
}

// Arguments that hold a reserved byte would split or end the request where they stand.
std::optional<std::string> CheckReservedBytes(const ctl::CommandSpec& command, const std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        if (std::optional<char> reserved = client::FirstReservedByte(args[i])) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned char>(*reserved));
            return "argument " + ctl::ArgumentName(command, args, i) + " holds the byte " + hex +
                   ", which the protocol cannot carry";
        }
    }
    return std::nullopt;
}

int RunCommand(const GlobalOptions& options, const ctl::CommandSpec& command, const std::vector<std::string>& args,
               ctl::Report& report) {
    std::string error;
    std::optional<int> port = options.port ? options.port : PortOfInstalledServer(&error);
    if (!port) return report.Emit(report.Fail(kExitUnreachable, error));

    auto timeout = std::chrono::milliseconds(static_cast<long long>(options.timeoutSeconds * 1000.0 + 0.5));
    client::ConsoleClient console(timeout);
    client::ConsoleClient::Outcome outcome = console.Connect(options.host, *port);
    if (outcome.status == client::ConsoleClient::Status::Ok) outcome = console.Logon(SessionLabel(), kSessionDetail);
    if (outcome.status == client::ConsoleClient::Status::Refused) return report.Emit(report.Fail(ctl::kExitFalse, outcome.error));
    if (outcome.status != client::ConsoleClient::Status::Ok) return report.Emit(report.Fail(kExitUnreachable, outcome.error));

    ctl::Session session(console, report, args);
    return report.Emit(command.run(session));
}

} // namespace

int main(int argc, char** argv) {
    GlobalOptions options;
    std::string error;
    bool parsed = ParseGlobalOptions(argc, argv, options, &error);
    ctl::Report report(options.json, options.rest.empty() ? std::string() : options.rest[0]);
    if (!parsed) return report.Emit(report.Fail(kExitUsage, error + " (see vserverctl --help)"));

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
        return report.Emit(report.Fail(kExitUsage, "no command given (see vserverctl --help)"));
    }
    const ctl::CommandSpec* command = ctl::FindCommand(args[0]);
    if (command == nullptr) {
        report.SetCommand({});
        return report.Emit(report.Fail(kExitUsage, "unknown command \"" + args[0] + "\" (see vserverctl --help)"));
    }
    report.SetCommand(std::string(command->name));
    args.erase(args.begin());
    if (options.help || (!args.empty() && (args[0] == "--help" || args[0] == "-h"))) {
        std::fputs(ctl::CommandHelp(*command).c_str(), stdout);
        return kExitOk;
    }
    if (auto problem = ctl::CheckArguments(*command, args)) return report.Emit(report.Fail(kExitUsage, *problem));
    if (auto problem = CheckReservedBytes(*command, args)) return report.Emit(report.Fail(kExitUsage, *problem));
    return RunCommand(options, *command, args, report);
}
