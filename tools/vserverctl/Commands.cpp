// The commands that ask the server and print what it answered.

#include "vserverctl/Commands.h"

#include <algorithm>
#include <cstdlib>

#include "formats/TextCase.h"
#include "settings/ConfigStore.h"
#include "vserverctl/Installation.h"

namespace vserver::ctl {

using wire::RequestType;

namespace {

using client::kFieldSeparator;
using client::kItemSeparator;
using client::kSectionSeparator;

// What a client kind means to the server: the console, a workstation logged on without the
// account checks, or any other workstation, which logs on with them.
std::string KindName(long long kind) {
    if (kind == wire::ClientKind::Console) return "console";
    if (kind == wire::ClientKind::Unchecked) return "unchecked workstation";
    return "workstation";
}

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

} // namespace

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

} // namespace vserver::ctl
