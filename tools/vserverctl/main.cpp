// vserverctl: the administrator console on the command line. Logs on to the server as the
// console, runs one command and reports its result; see ProgramHelp() and vserverctl.1. The
// commands are listed in CommandTable.cpp, reach the server through Transport.cpp and are
// described in Help.cpp.

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "client/ConsoleClient.h"
#include "vserverctl/CommandLine.h"
#include "vserverctl/CommandTable.h"
#include "vserverctl/Commands.h"
#include "vserverctl/Help.h"
#include "vserverctl/Installation.h"
#include "vserverctl/Report.h"

namespace {

using namespace vserver;
using ctl::GlobalOptions;
using ctl::kExitOk;
using wire::RequestType;

constexpr int kCheckUnknown = 3;

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
    bool parsed = ctl::ParseOptions(argc, argv, options, &error);
    ctl::Report report(options.json, options.rest.empty() ? std::string() : options.rest[0]);
    // A monitoring system reads a check that cannot run as UNKNOWN, not as CRITICAL.
    const int usageStatus = ctl::CommandWord(argc, argv) == "check" ? kCheckUnknown : ctl::kExitUsage;
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
        if (auto problem = ctl::CheckReservedBytes(*command, args)) return report.Emit(report.Fail(usageStatus, *problem));
    }

    FindPort(options);
    ctl::Session session(options.endpoint, report, args, options.command);
    return report.Emit(command->run(session));
}
