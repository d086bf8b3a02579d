#include "vserverctl/CommandTable.h"

#include "vserverctl/Commands.h"

namespace vserver::ctl {

namespace {

// In the order the help lists them.
const std::vector<CommandSpec> kCommands = {
    {"sessions", "", {}, 0, 0, RunSessions},
    {"count", "", {}, 0, 0, RunCount},
    {"lock", "", {}, 0, 0, RunLock},
    {"unlock", "", {}, 0, 0, RunUnlock},
    {"locked", "", {}, 0, 0, RunLocked},
    {"disconnect", "ACCOUNT | --all [--dry-run]", {"ACCOUNT"}, 1, 1, RunDisconnect},
    {"message", "ACCOUNT TEXT | --all TEXT [--dry-run]", {"ACCOUNT", "TEXT"}, 2, 2, RunMessage},
    {"toolbar", "ACCOUNT SET", {"ACCOUNT", "SET"}, 2, 2, RunToolbar},
    {"queue-message", "ACCOUNT TEXT", {"ACCOUNT", "TEXT"}, 2, 2, RunQueueMessage},
    {"queue-toolbar", "ACCOUNT SET", {"ACCOUNT", "SET"}, 2, 2, RunQueueToolbar},
    {"accounts", "", {}, 0, 0, RunAccounts},
    {"create", "ACCOUNT | --from FILE [--dry-run]", {"ACCOUNT"}, 1, 1, RunCreate},
    {"delete", "ACCOUNT | --from FILE [--dry-run]", {"ACCOUNT"}, 1, 1, RunDelete},
    {"toolbars", "", {}, 0, 0, RunToolbars},
    {"toolbar-exists", "SET", {"SET"}, 1, 1, RunToolbarExists},
    {"option", "get NAME [DEFAULT] | set [--force] NAME VALUE | list",
     {"get|set|list", "NAME", "VALUE"}, 1, 3, RunOption},
    {"reload", "", {}, 0, 0, RunReload},
    {"version", "", {}, 0, 0, RunVersion},
    {"status", "", {}, 0, 0, RunStatus},
    {"log", "[-n N] [--follow]", {}, 0, 0, RunLog},
    {"report", "[--from DATE] [--to DATE] [--file FILE]... [FILE...] [--csv [--by TABLE]] [--html PAGE]",
     {}, 0, 1000, RunReport, true},
    {"check", "[-w CONNECTIONS[,QUEUED]] [-c CONNECTIONS[,QUEUED]]", {}, 0, 0, RunCheck},
    {"check-move", "[FOLDER]", {"FOLDER"}, 0, 1, RunCheckMove, true},
};

} // namespace

const std::vector<CommandSpec>& Commands() { return kCommands; }

const CommandSpec* FindCommand(std::string_view name) {
    for (const CommandSpec& command : kCommands) {
        if (command.name == name) return &command;
    }
    return nullptr;
}

std::string ArgumentName(const CommandSpec& command, const std::vector<std::string>& args, std::size_t i) {
    if (command.name == "option" && i == 2) return args[0] == "set" ? "VALUE" : "DEFAULT";
    if (i < command.arguments.size()) return std::string(command.arguments[i]);
    return "argument " + std::to_string(i + 1);
}

} // namespace vserver::ctl
