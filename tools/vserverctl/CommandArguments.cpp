// The checks of a command line against its command's row, before anything is sent.

#include <algorithm>
#include <cstdio>

#include "settings/ConfigStore.h"
#include "vserverctl/CommandTable.h"
#include "vserverctl/Commands.h"

namespace vserver::ctl {

namespace {

// The work on many accounts at once: create and delete --from, message and disconnect --all.
bool IsBulk(const CommandSpec& command, const CommandOptions& options) {
    if (command.name == "create" || command.name == "delete") return options.from.has_value();
    return (command.name == "message" || command.name == "disconnect") && options.all;
}

// An option given to a command it does not belong to, named as the help names its owners.
std::optional<std::string> MisplacedOption(const CommandSpec& command, const CommandOptions& options) {
    struct Use {
        bool given;
        const char* option;
        std::vector<std::string_view> commands;
        const char* owners;
    };
    const bool reportOnly = !options.files.empty() || options.to || options.csv || options.by || options.html;
    const Use uses[] = {
        {options.lines || options.follow, "-n and --follow belong", {"log"}, "log"},
        {options.force, "--force belongs", {"option"}, "option set"},
        {reportOnly, "--file, --to, --csv, --by and --html belong", {"report"}, "report"},
        {options.from.has_value(), "--from belongs", {"report", "create", "delete"}, "report, create and delete"},
        {options.warning || options.critical, "-w and -c belong", {"check"}, "check"},
        {options.all, "--all belongs", {"message", "disconnect"}, "message and disconnect"},
        // Only the work on many accounts has a dry run.
        {options.dryRun && !IsBulk(command, options), "--dry-run belongs", {},
         "create and delete --from, and message and disconnect --all"},
    };
    for (const Use& use : uses) {
        if (!use.given) continue;
        const bool owned = std::find(use.commands.begin(), use.commands.end(), command.name) != use.commands.end();
        if (!owned) return std::string(use.option) + " to " + use.owners;
    }
    return std::nullopt;
}

std::optional<std::string> CheckOptionCommand(const std::vector<std::string>& args, const CommandOptions& options) {
    const std::string& verb = args[0];
    if (verb != "get" && verb != "set" && verb != "list") return "unknown option action \"" + verb + "\"";
    if (verb == "list" && args.size() != 1) return "option list takes no arguments";
    if (verb == "get" && args.size() < 2) return "option get needs NAME";
    if (verb == "set" && args.size() != 3) return "option set needs NAME and VALUE";
    if (verb != "set" && options.force) return "--force belongs to option set";
    return std::nullopt;
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

} // namespace

std::optional<std::string> CheckArguments(const CommandSpec& command, const std::vector<std::string>& args,
                                          const CommandOptions& options, bool json) {
    std::string usage = "usage: vserverctl " + std::string(command.name) +
                        (command.usage.empty() ? "" : " " + std::string(command.usage));
    if (auto misplaced = MisplacedOption(command, options)) return *misplaced + "; " + usage;
    if (command.name == "log" && options.follow && json) return "--follow prints text, not JSON; " + usage;
    // Given many accounts, a command takes no account argument.
    const std::size_t accounts = IsBulk(command, options) ? 1 : 0;
    if (args.size() + accounts < command.minArgs || args.size() + accounts > command.maxArgs) {
        return (args.size() + accounts < command.minArgs ? "missing arguments; " : "too many arguments; ") + usage;
    }
    if (command.name == "report") {
        if (auto problem = CheckReportOptions(options)) return *problem + "; " + usage;
    }
    if (command.name == "check") {
        if (auto problem = CheckThresholds(options)) return *problem + "; " + usage;
    }
    if (command.name != "option") return std::nullopt;
    if (auto problem = CheckOptionCommand(args, options)) return *problem + "; " + usage;
    if (args[0] == "set" && !options.force && settings::FindServerOption(args[1]) == nullptr) {
        return UnusedOptionText(args[1]) + "; give --force to store it anyway";
    }
    return std::nullopt;
}

std::optional<std::string> CheckReservedBytes(const CommandSpec& command, const std::vector<std::string>& args) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::size_t at = args[i].find_first_of("\xA6\xA7\xB0\xBB");
        if (at == std::string::npos) continue;
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned char>(args[i][at]));
        return "argument " + ArgumentName(command, args, i) + " holds the byte " + hex + " (the character " +
               CodePageCharacter(args[i][at]) + " in Windows-1252; also part of some UTF-8 characters) at byte " +
               std::to_string(at + 1) + ", which the protocol cannot carry";
    }
    return std::nullopt;
}

} // namespace vserver::ctl
