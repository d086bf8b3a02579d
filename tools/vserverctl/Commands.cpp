#include "vserverctl/Commands.h"

#include <algorithm>

#include <cstdlib>

#include "platform/TextCase.h"
#include "settings/ConfigStore.h"
#include "vserverctl/Installation.h"
#include "vserverctl/SystemInstallation.h"

namespace vserver::ctl {

using wire::RequestType;

namespace {

using client::kFieldSeparator;

constexpr const char* kSessionDetail = "vserverctl";

std::string SessionLabel() {
    std::string name = client::LocalHostName();
    return name.empty() ? "vserverctl" : name;
}

// What a client kind means to the server: the console, a workstation logged on without the
// account checks, or any other workstation, which logs on with them.
std::string KindName(long long kind) {
    if (kind == wire::ClientKind::Console) return "console";
    if (kind == wire::ClientKind::Unchecked) return "unchecked workstation";
    return "workstation";
}
using client::kItemSeparator;
using client::kSectionSeparator;

std::vector<std::string> SplitList(std::string_view list) {
    if (list.empty()) return {};
    return client::SplitFields(list, kSectionSeparator);
}

bool IsNumber(std::string_view text) {
    if (!text.empty() && text.front() == '-') text.remove_prefix(1);
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

std::string Cell(const std::string& text) { return text.empty() ? "-" : text; }

void AddNameList(Session& session, std::string_view key, const std::vector<std::string>& names) {
    session.report.json().Key(key).BeginArray();
    for (const auto& name : names) {
        session.report.json().String(name);
        session.report.Line(name);
    }
    session.report.json().EndArray();
}

// The common shape of the commands that ask for an action and get "True" or "False".
int RunAction(Session& session, int type, const std::string& what, const std::string& argument1,
              const std::string& argument2, const std::string& done, const std::string& refused) {
    std::optional<bool> result = session.AskTrue(type, what, argument1, argument2);
    if (!result) return session.failureStatus;
    session.report.json().Key("result").Bool(*result);
    if (!*result) return session.report.Fail(kExitFalse, refused);
    session.report.Line(done);
    return kExitOk;
}

int RunSessions(Session& session) {
    std::optional<std::string> list = session.Ask(RequestType::ListSessions, "session list");
    if (!list) return session.failureStatus;
    std::string_view entries = *list;
    if (!entries.empty() && entries.front() == kItemSeparator) entries.remove_prefix(1);
    std::vector<std::vector<std::string>> rows{{"ACCOUNT", "LABEL", "KIND", "DETAIL"}};
    JsonWriter& json = session.report.json();
    json.Key("sessions").BeginArray();
    for (const std::string& entry : SplitList(entries)) {
        std::vector<std::string> parts = client::SplitFields(entry, kFieldSeparator);
        parts.resize(std::max<std::size_t>(parts.size(), 4));
        // A connection that has not logged on has an empty kind behind its placeholder name.
        bool loggedOn = !parts[2].empty();
        json.BeginObject().Key("account").String(parts[0]).Key("loggedOn").Bool(loggedOn);
        json.Key("label").String(parts[1]).Key("kind");
        std::string kind = parts[2];
        if (loggedOn && IsNumber(parts[2])) {
            const long long number = std::atoll(parts[2].c_str());
            json.Number(number).Key("kindName").String(KindName(number));
            kind += " " + KindName(number);
        } else if (loggedOn) {
            json.String(parts[2]).Key("kindName").Null();
        } else {
            json.Null().Key("kindName").Null();
        }
        json.Key("detail").String(parts[3]).EndObject();
        if (loggedOn) rows.push_back({parts[0], Cell(parts[1]), kind, Cell(parts[3])});
        else rows.push_back({"not logged on", "-", "-", "-"});
    }
    json.EndArray();
    AddTable(session.report, rows);
    return kExitOk;
}

int RunCount(Session& session) {
    std::optional<std::string> count = session.Ask(RequestType::CountClients, "count");
    if (!count) return session.failureStatus;
    if (!IsNumber(*count)) return session.report.Fail(kExitUnreachable, "the server answered the count with \"" + *count + "\"");
    session.report.json().Key("count").Number(std::atoll(count->c_str()));
    session.report.Line(*count);
    return kExitOk;
}

int RunLock(Session& session) {
    if (!session.AskTrue(RequestType::SetLogonLock, "lock", "1")) return session.failureStatus;
    // The server answers a lock request with "True" even when it clears the lock because other
    // clients are connected; only the state read back tells whether logons are locked.
    std::optional<bool> locked = session.AskTrue(RequestType::IsLogonLocked, "locked");
    if (!locked) return session.failureStatus;
    session.report.json().Key("locked").Bool(*locked);
    if (!*locked) {
        return session.report.Fail(kExitFalse, "logons are not locked: the server clears the lock while clients "
                                               "other than this console are connected");
    }
    session.report.Line("logons locked");
    return kExitOk;
}

int RunUnlock(Session& session) {
    if (!session.AskTrue(RequestType::SetLogonLock, "unlock", "0")) return session.failureStatus;
    session.report.json().Key("locked").Bool(false);
    session.report.Line("logons unlocked");
    return kExitOk;
}

int RunLocked(Session& session) {
    std::optional<bool> locked = session.AskTrue(RequestType::IsLogonLocked, "locked");
    if (!locked) return session.failureStatus;
    session.report.json().Key("locked").Bool(*locked);
    session.report.Line(*locked ? "locked" : "not locked");
    return session.report.Answer(*locked ? kExitOk : kExitFalse);
}

int RunDisconnect(Session& session) {
    if (session.options.all) return RunDisconnectAll(session);
    const std::string& account = session.args[0];
    session.report.json().Key("account").String(account);
    return RunAction(session, RequestType::DisconnectUser, "disconnect", account, {}, "disconnected " + account,
                     "no session holds account " + account);
}

int RunMessage(Session& session) {
    if (session.options.all) return RunMessageAll(session);
    const std::string& account = session.args[0];
    session.report.json().Key("account").String(account);
    return RunAction(session, RequestType::SendTextMessage, "message", account, session.args[1],
                     "message sent to " + account, "no session holds account " + account);
}

int RunToolbar(Session& session) {
    const std::string& account = session.args[0];
    const std::string& set = session.args[1];
    session.report.json().Key("account").String(account).Key("toolbarSet").String(set);
    return RunAction(session, RequestType::SendToolbarSet, "toolbar", account, set,
                     "toolbar set " + set + " sent to " + account, "no session holds account " + account);
}

int RunQueueMessage(Session& session) {
    const std::string& account = session.args[0];
    session.report.json().Key("account").String(account);
    return RunAction(session, RequestType::QueueUserMessage, "queue-message", account, session.args[1],
                     "message queued for " + account, "the server could not write its message queue (its service log says why)");
}

int RunQueueToolbar(Session& session) {
    const std::string& account = session.args[0];
    const std::string& set = session.args[1];
    session.report.json().Key("account").String(account).Key("toolbarSet").String(set);
    return RunAction(session, RequestType::QueueToolbarSet, "queue-toolbar", account, set,
                     "toolbar set " + set + " queued for " + account, "the server could not write its toolbar set queue (its service log says why)");
}

int RunAccounts(Session& session) {
    std::optional<std::string> list = session.Ask(RequestType::ConsoleListAccounts, "accounts");
    if (!list) return session.failureStatus;
    // The server lists in the file system's order; people look names up alphabetically, and
    // account names match without regard to case.
    std::vector<std::string> names = SplitList(*list);
    std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
        return platform::UpperCase(a) < platform::UpperCase(b);
    });
    AddNameList(session, "accounts", names);
    return kExitOk;
}

int RunCreate(Session& session) {
    if (session.options.from) return RunCreateFrom(session);
    const std::string& account = session.args[0];
    session.report.json().Key("account").String(account);
    return RunAction(session, RequestType::CreateAccount, "create", account, {}, "created account " + account,
                     "the server did not create account " + account +
                         " (it exists, the name is not allowed, or the users folder is missing; its service log says which)");
}

int RunDelete(Session& session) {
    if (session.options.from) return RunDeleteFrom(session);
    const std::string& account = session.args[0];
    session.report.json().Key("account").String(account);
    return RunAction(session, RequestType::DeleteAccount, "delete", account, {}, "deleted account " + account,
                     "the server did not delete account " + account +
                         " (no such account, or not all of it could be removed; its service log says which)");
}

int RunToolbars(Session& session) {
    std::optional<std::string> list = session.Ask(RequestType::ListToolbarSets, "toolbars");
    if (!list) return session.failureStatus;
    AddNameList(session, "toolbarSets", SplitList(*list));
    return kExitOk;
}

int RunToolbarExists(Session& session) {
    const std::string& set = session.args[0];
    std::optional<bool> exists = session.AskTrue(RequestType::ToolbarSetExists, "toolbar-exists", set);
    if (!exists) return session.failureStatus;
    session.report.json().Key("toolbarSet").String(set).Key("exists").Bool(*exists);
    session.report.Line(*exists ? "yes" : "no");
    return session.report.Answer(*exists ? kExitOk : kExitFalse);
}

// Why storing an option of this name changes nothing in the server.
std::string UnusedOptionText(const std::string& name) {
    for (const char* connectionValue : {"PortNumber", "BindAddress"}) {
        if (!platform::EqualNoCase(name, connectionValue)) continue;
        const Installation installation = ReadInstallation();
        const std::string change = installation.inSystemRegistry()
                                       ? "of the system registry (set it in " + std::string(settings::kConnectionKey)
                                       : "of its registry file (edit " + installation.registryPath;
        return std::string(connectionValue) + " is not an option: the server reads it from the Connection key " +
               change + " and restart the server)";
    }
    std::string known;
    const auto& options = settings::ServerOptions();
    for (std::size_t i = 0; i < options.size(); ++i) {
        known += i == 0 ? "" : (i + 1 == options.size() ? " and " : ", ");
        known += options[i].name;
    }
    return "the server does not use an option named \"" + name + "\" (it reads " + known + ")";
}

int RunOption(Session& session) {
    const std::string& verb = session.args[0];
    if (verb == "list") return RunOptionList(session);
    const std::string& name = session.args[1];
    const settings::ServerOption* known = settings::FindServerOption(name);
    JsonWriter& json = session.report.json();
    json.Key("name").String(name);
    if (verb == "set") {
        const std::string& value = session.args[2];
        json.Key("value").String(value);
        if (known == nullptr) {
            session.report.Warn(UnusedOptionText(name));
        } else if (const std::string effective = settings::EffectiveOptionValue(*known, value); effective != value) {
            session.report.Warn("the server reads \"" + value + "\" as " + effective);
        }
        return RunAction(session, RequestType::WriteOption, "option set", name, value, "option " + name + " set to \"" + value + "\"",
                         "the server could not open or create its Options key");
    }
    // Asked with an empty default, the server's answer tells whether the option is stored.
    std::optional<std::string> stored = session.Ask(RequestType::ReadOption, "option get", name, {});
    if (!stored) return session.failureStatus;
    const bool isStored = !stored->empty();
    const bool defaultGiven = session.args.size() > 2;
    std::string value = *stored;
    std::string origin;
    if (!isStored) {
        value = defaultGiven ? session.args[2] : known != nullptr ? known->defaultText : "";
        origin = defaultGiven ? " (not stored; the default given)"
                              : known != nullptr ? " (not stored; the server's default)" : " (not stored)";
    }
    json.Key("value").String(value).Key("stored").Bool(isStored);
    if (known != nullptr) json.Key("effective").String(settings::EffectiveOptionValue(*known, *stored));
    session.report.Line("Options\\" + name + " = " + value + origin);
    return kExitOk;
}

int RunReload(Session& session) {
    return RunAction(session, RequestType::ReloadOptions, "reload", {}, {}, "option flags reloaded",
                     "the server did not reload its option flags");
}

int RunVersion(Session& session) {
    std::optional<std::string> version = session.Ask(RequestType::ServerVersion, "version");
    if (!version) return session.failureStatus;
    session.report.json().Key("version").String(*version);
    session.report.Line(*version);
    return kExitOk;
}

const std::vector<CommandSpec> kCommands = {
    {"sessions", "", {}, 0, 0, "list the connections and their sessions",
     "Lists every connection, newest first, with its account, session label, client kind and detail. "
     "A connection that has not logged on is shown as \"not logged on\". Client kind 5 is an administrator "
     "console; this console's own session is part of the list.",
     RunSessions},
    {"count", "", {}, 0, 0, "count the connected clients",
     "Prints the number of connections, logged on or not, without the administrator console.", RunCount},
    {"lock", "", {}, 0, 0, "lock logons",
     "Locks logons so that only an administrator console can log on. The server keeps the lock only while "
     "this console is its only connection; when other clients are connected it clears the lock, and lock "
     "then fails with exit status 1.",
     RunLock},
    {"unlock", "", {}, 0, 0, "unlock logons", "Clears the logon lock.", RunUnlock},
    {"locked", "", {}, 0, 0, "tell whether logons are locked",
     "Prints \"locked\" (exit status 0) or \"not locked\" (exit status 1).", RunLocked},
    {"disconnect", "ACCOUNT | --all [--dry-run]", {"ACCOUNT"}, 1, 1, "end the session of an account, or every session",
     "Sends the session that holds ACCOUNT the disconnect notice and closes its connection. Fails when no "
     "session holds the account. With --all, ends every logged-on session except the consoles, goes on past a "
     "failure and prints a summary; --dry-run only lists them. Exit status 1 when any failed.",
     RunDisconnect},
    {"message", "ACCOUNT TEXT | --all TEXT [--dry-run]", {"ACCOUNT", "TEXT"}, 2, 2,
     "send a text message to a logged-on user now, or to everyone",
     "Sends TEXT to the session that holds ACCOUNT (the newest one when several do). Fails when no session "
     "holds the account. With --all, sends TEXT to every logged-on account except the consoles, once per "
     "account, goes on past a failure and prints a summary; --dry-run only lists them. Exit status 1 when any "
     "failed.",
     RunMessage},
    {"toolbar", "ACCOUNT SET", {"ACCOUNT", "SET"}, 2, 2, "send a toolbar set to a logged-on user now",
     "Sends the toolbar set name SET to the session that holds ACCOUNT. Fails when no session holds the "
     "account.",
     RunToolbar},
    {"queue-message", "ACCOUNT TEXT", {"ACCOUNT", "TEXT"}, 2, 2, "queue a text message for an account",
     "Queues TEXT for ACCOUNT; the account's client collects it later. The account need not exist.",
     RunQueueMessage},
    {"queue-toolbar", "ACCOUNT SET", {"ACCOUNT", "SET"}, 2, 2, "queue a toolbar set for an account",
     "Queues the toolbar set name SET for ACCOUNT; the account's client collects it later.", RunQueueToolbar},
    {"accounts", "", {}, 0, 0, "list the accounts",
     "Lists the accounts (the folders of the users folder), one per line, in the order the file system "
     "gives them.",
     RunAccounts},
    {"create", "ACCOUNT | --from FILE [--dry-run]", {"ACCOUNT"}, 1, 1, "create an account, or every account of a list",
     "Creates the home folder of ACCOUNT with its copy of the master preference file. Account names hold at "
     "most 25 bytes. With --from, creates every account FILE names (\"-\" reads standard input): one name per "
     "line, or the first column of a CSV file with a header line (a file ending in .csv, or whose first line "
     "holds a comma, semicolon or tab); blank lines and lines beginning with # are skipped, and blanks around "
     "a name are dropped. It goes on past a failure and prints what was created, what was already there and "
     "what was refused with the reason; --dry-run only shows what would be done. Exit status 1 when any was "
     "refused.",
     RunCreate},
    {"delete", "ACCOUNT | --from FILE [--dry-run]", {"ACCOUNT"}, 1, 1, "delete an account, or every account of a list",
     "Removes the home folder of ACCOUNT and everything in it. With --from, deletes every account FILE names, "
     "read as create --from reads it; accounts that do not exist are reported as not there. It goes on past a "
     "failure, prints a summary and exits with status 1 when any was refused; --dry-run only shows what would "
     "be done.",
     RunDelete},
    {"toolbars", "", {}, 0, 0, "list the toolbar sets",
     "Lists the toolbar sets of the users folder (without the built-in set CLASSIC), one per line.",
     RunToolbars},
    {"toolbar-exists", "SET", {"SET"}, 1, 1, "tell whether a toolbar set exists",
     "Prints \"yes\" (exit status 0) or \"no\" (exit status 1). The server takes SET as a file name pattern: "
     "\"*\" matches any set.",
     RunToolbarExists},
    {"option", "get NAME [DEFAULT] | set [--force] NAME VALUE | list", {"get|set|list", "NAME", "VALUE"}, 1, 3,
     "read, write or list the server options",
     "option get prints the server option NAME as Options\\NAME = VALUE; when it is not stored, DEFAULT, or "
     "the server's own default for an option the server reads, marked \"not stored\". option set stores VALUE "
     "under NAME; a name the server does not read (a misspelling, or PortNumber, which lives under Connection) is "
     "refused unless --force is given, and a value the server reads differently is warned about. option list "
     "shows every option the server reads and every other stored option with its stored text, the value the "
     "server works with, and the default. AllowAccountCreation, LogUserStatistics, ConsoleAddresses, "
     "MaxConnectionsPerAddress and ConsoleOnlySharedFiles take effect after reload.",
     RunOption},
    {"reload", "", {}, 0, 0, "reload the option flags",
     "Makes the server read AllowAccountCreation, LogUserStatistics, ConsoleAddresses, MaxConnectionsPerAddress "
     "and ConsoleOnlySharedFiles again.",
     RunReload},
    {"version", "", {}, 0, 0, "print the server's version", "Prints the version the server reports.", RunVersion},
    {"status", "", {}, 0, 0, "show the server's state and where its files are",
     "Shows the server's version, process id and uptime, the port, the installation folder (the folder of this "
     "program), the registry file, the master path, the number of connections, whether another console is "
     "logged on, and the logon lock. What the installation's own files tell is shown also when the server "
     "cannot be reached; the exit status is then 3.",
     RunStatus},
    {"log", "[-n N] [--follow]", {}, 0, 0, "print the service log",
     "Prints the service log beside this program as text, one record per line: date, time and text separated "
     "by tabs. -n N prints only the last N records; --follow goes on printing records as the server writes "
     "them, until interrupted.",
     RunLog},
    {"report", "[--from DATE] [--to DATE] [--file FILE]... [FILE...] [--csv [--by TABLE]] [--html PAGE]", {}, 0, 1000,
     "summarise the usage statistics of a period",
     "Reads the usage statistics (the installation's Users/EventLog.log below MasterPath, or each FILE; \"-\" "
     "reads standard input) without a server and summarises the days from --from to --to (YYYY-MM-DD or "
     "MM/DD/YY, both included; default every line). A session is a logon and the next logoff or disconnect of "
     "the same account on the same workstation label; a change of user ends one and begins the next. A logon "
     "without its end is counted as open and given no length. It prints the totals and the tables per account "
     "(sessions, open, total and median time, first and last seen, workstations, client events), per workstation, "
     "per day and per hour of the day (sessions begun, most at once), the client events by code, and the first "
     "lines it could not read with their line numbers. --csv prints one table (--by accounts, workstations, days, "
     "hours, events or unreadable; default accounts), --json all of them, and --html PAGE writes a page with "
     "charts that needs nothing else to show or print.",
     RunReport, true},
    {"check", "[-w CONNECTIONS[,QUEUED]] [-c CONNECTIONS[,QUEUED]]", {}, 0, 0,
     "check the server for a monitoring system",
     "A check in the monitoring-plugins convention: one status line with performance data after \"|\" "
     "(connections, sessions, logons locked, queued items waiting, service log size) and exit status 0 OK, 1 "
     "WARNING, 2 CRITICAL or 3 UNKNOWN. -w and -c give the thresholds: the status is WARNING or CRITICAL when "
     "the connections, or the queued items, are more than the number given (either may be left out, as in "
     "\"-w ,500\"). CRITICAL when the server does not answer within --timeout. When another console is logged on "
     "the server cannot be asked for its connections; the check then says so and is UNKNOWN only when a "
     "connection threshold was given. The queued items and the service log are read from the installation "
     "beside this program, and only when --host is this computer.",
     RunCheck},
};

} // namespace

// Columns are counted in characters: a UTF-8 continuation byte adds no width.
static std::size_t DisplayWidth(const std::string& text) {
    return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

// Lays rows out in columns two blanks apart; the last column is not padded.
void AddTable(Report& report, const std::vector<std::vector<std::string>>& rows) {
    std::vector<std::size_t> widths;
    for (const auto& row : rows) {
        widths.resize(std::max(widths.size(), row.size()), 0);
        for (std::size_t i = 0; i < row.size(); ++i) widths[i] = std::max(widths[i], DisplayWidth(row[i]));
    }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - DisplayWidth(row[i]) + 2, ' ');
        }
        // Empty last cells leave no blanks at the line's end.
        line.erase(line.find_last_not_of(' ') + 1);
        report.Line(std::move(line));
    }
}

const client::ConsoleClient::Outcome& Session::Connect() {
    if (!connected_) {
        if (!endpoint_.port) {
            client::ConsoleClient::Outcome unknownPort;
            unknownPort.status = client::ConsoleClient::Status::Unreachable;
            unknownPort.error = endpoint_.portProblem;
            connected_ = unknownPort;
        } else {
            connected_ = console_.Connect(endpoint_.host, *endpoint_.port);
        }
    }
    return *connected_;
}

const client::ConsoleClient::Outcome& Session::LogOn() {
    if (!loggedOn_) {
        const client::ConsoleClient::Outcome& connected = Connect();
        loggedOn_ = connected.status == client::ConsoleClient::Status::Ok ? console_.Logon(SessionLabel(), kSessionDetail)
                                                                          : connected;
    }
    return *loggedOn_;
}

bool Session::Usable(const client::ConsoleClient::Outcome& outcome) {
    if (outcome.status == client::ConsoleClient::Status::Ok) return true;
    failureStatus = report.Fail(outcome.status == client::ConsoleClient::Status::Refused ? kExitFalse : kExitUnreachable,
                                outcome.error);
    return false;
}

std::optional<std::string> Session::Ask(int type, const std::string& what, const std::string& argument1,
                                        const std::string& argument2) {
    if (!Usable(LogOn())) return std::nullopt;
    return Call(type, what, argument1, argument2);
}

std::optional<std::string> Session::AskWithoutLogon(int type, const std::string& what) {
    if (!Usable(Connect())) return std::nullopt;
    return Call(type, what, {}, {});
}

std::optional<std::string> Session::Call(int type, const std::string& what, const std::string& argument1,
                                         const std::string& argument2) {
    client::Request request;
    request.type = type;
    request.account = client::kConsoleAccount;
    request.argument1 = argument1;
    request.argument2 = argument2;
    client::ConsoleClient::Outcome outcome = console_.Call(request, what);
    if (outcome.status != client::ConsoleClient::Status::Ok) {
        failureStatus = report.Fail(kExitUnreachable, outcome.error);
        return std::nullopt;
    }
    // Every request the console sends is answered with its type and a result.
    if (outcome.reply.fieldCount < 4 || outcome.reply.type != std::to_string(type)) {
        failureStatus = report.Fail(kExitUnreachable, "unexpected reply to the " + what +
                                                          " request (bytes " + client::ToHex(outcome.reply.text) + ")");
        return std::nullopt;
    }
    return outcome.reply.result;
}

std::optional<bool> Session::AskTrue(int type, const std::string& what, const std::string& argument1,
                                     const std::string& argument2) {
    std::optional<std::string> result = Ask(type, what, argument1, argument2);
    if (!result) return std::nullopt;
    if (*result == "True") return true;
    if (*result == "False") return false;
    failureStatus = report.Fail(kExitUnreachable, "the server answered the " + what + " request with \"" + *result +
                                                      "\" instead of True or False");
    return std::nullopt;
}

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

std::string ProgramHelp() {
    std::string text =
        "usage: vserverctl [OPTIONS] COMMAND [ARGUMENTS]\n"
        "       vserverctl COMMAND --help\n"
        "       vserverctl --version\n"
        "\n"
        "The administrator console of the Vantorel server on the command line. Logs on as the\n"
        "administrator console, runs one command and prints its result. Options may stand anywhere\n"
        "on the line; \"--\" ends them, for arguments that begin with \"-\".\n"
        "\n"
        "Options:\n"
        "  --host=H      the server's host (default 127.0.0.1)\n";
    text += PortOptionHelp();
    text +=
        "  --timeout=S   seconds to wait for the connection and for each answer (default 5)\n"
        "  -H H, -p P, -t S  the same as --host, --port and --timeout, as monitoring plugins\n"
        "                take them\n"
        "  --json        print one JSON document instead of text\n"
        "  --force       option set: store an option the server does not read\n"
        "  -n N          log: only the last N records\n"
        "  --follow      log: go on printing records as they are written\n"
        "  --from=DATE   report: the first day (YYYY-MM-DD or MM/DD/YY)\n"
        "  --to=DATE     report: the last day\n"
        "  --file=FILE   report: a statistics file to read (again for more; - standard input)\n"
        "  --csv         report: print one table as CSV (--by=TABLE chooses it)\n"
        "  --html=PAGE   report: write a page with charts\n"
        "  --from=FILE   create, delete: every account FILE names (- standard input)\n"
        "  --all         message, disconnect: every logged-on session\n"
        "  --dry-run     create and delete --from, message and disconnect --all: only show\n"
        "                what would be done\n"
        "  -w, -c L      check: warning and critical thresholds, CONNECTIONS[,QUEUED]\n"
        "  --version     print this program's version and, when reachable, the server's\n"
        "  --help        this text\n"
        "\n"
        "Commands:\n";
    for (const CommandSpec& command : kCommands) {
        std::string head = "  ";
        head.append(command.name);
        if (!command.usage.empty()) head.append(" ").append(command.usage);
        if (head.size() < 40) head += std::string(40 - head.size(), ' ');
        else head += "\n" + std::string(40, ' ');
        text += head + std::string(command.summary) + "\n";
    }
    text +=
        "\n"
        "Exit status: 0 success; 1 the server answered False or refused, or a file could not be\n"
        "read; 2 usage error (nothing was sent); 3 the server cannot be reached or did not answer\n"
        "in time. check exits as monitoring plugins do: 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN\n"
        "(a usage error too).\n";
    return text;
}

std::string CommandHelp(const CommandSpec& command) {
    std::string text = "usage: vserverctl [OPTIONS] " + std::string(command.name) +
                       (command.usage.empty() ? "" : " " + std::string(command.usage)) + "\n\n";
    // Wrap the description at 78 columns.
    std::string line;
    std::string_view rest = command.description;
    while (!rest.empty()) {
        std::size_t space = rest.find(' ');
        std::string_view word = rest.substr(0, space);
        rest.remove_prefix(space == std::string_view::npos ? rest.size() : space + 1);
        if (!line.empty() && line.size() + 1 + word.size() > 78) {
            text += line + "\n";
            line.clear();
        }
        if (!line.empty()) line += ' ';
        line.append(word);
    }
    if (!line.empty()) text += line + "\n";
    text += "\nArguments may not hold the bytes 0xA6, 0xA7, 0xB0 or 0xBB (the characters \u00a6, \u00a7, \u00b0 and\n"
            "\u00bb of the Windows-1252 code page, also found inside UTF-8 characters); the protocol cannot\n"
            "carry them.\n";
    return text;
}

} // namespace vserver::ctl
