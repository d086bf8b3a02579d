// The work on many accounts at once: create and delete --from a list of names, message and
// disconnect --all sessions. Each goes on past a failure, says what became of every account,
// sums it up, and exits with status 1 when anything was refused.

#include <set>

#include "accounts/AccountStore.h"
#include "formats/TextCase.h"
#include "vserverctl/Commands.h"
#include "vserverctl/NameList.h"
#include "vserverctl/Progress.h"

namespace vserver::ctl {

using wire::RequestType;

namespace {

enum class Outcome { Done, AlreadyThere, Refused, WouldDo };

// What the outcomes are called for one kind of work, in the text output.
struct Words {
    const char* done;          // "created"
    const char* alreadyThere;  // "already there"
    const char* wouldDo;       // "would create"
};

struct Result {
    std::string account;
    long long line = 0;        // in the list of names; 0 for a session
    Outcome outcome = Outcome::Done;
    std::string reason;        // why it was refused
};

// One item of work: the account and, from a list, where it stands there.
struct Item {
    std::string account;
    long long line = 0;
};

const char* OutcomeKey(Outcome outcome) {
    switch (outcome) {
    case Outcome::Done: return "done";
    case Outcome::AlreadyThere: return "alreadyThere";
    case Outcome::Refused: return "refused";
    case Outcome::WouldDo: return "wouldDo";
    }
    return "refused";
}

const char* OutcomeWord(Outcome outcome, const Words& words) {
    switch (outcome) {
    case Outcome::Done: return words.done;
    case Outcome::AlreadyThere: return words.alreadyThere;
    case Outcome::Refused: return "refused";
    case Outcome::WouldDo: return words.wouldDo;
    }
    return "refused";
}

// Prints every result and the summary; the exit status says whether anything was refused.
int Summarise(Session& session, const std::vector<Result>& results, const Words& words, int status) {
    std::vector<std::vector<std::string>> rows;
    std::size_t counts[4] = {};
    JsonWriter& json = session.report.json();
    json.Key("dryRun").Bool(session.options.dryRun).Key("results").BeginArray();
    for (const Result& result : results) {
        ++counts[static_cast<int>(result.outcome)];
        rows.push_back({OutcomeWord(result.outcome, words), result.account, result.reason});
        json.BeginObject().Key("account").String(result.account).Key("outcome").String(OutcomeKey(result.outcome));
        if (result.line > 0) json.Key("line").Number(result.line);
        if (!result.reason.empty()) json.Key("reason").String(result.reason);
        json.EndObject();
    }
    json.EndArray().Key("summary").BeginObject();
    for (Outcome outcome : {Outcome::Done, Outcome::AlreadyThere, Outcome::Refused, Outcome::WouldDo}) {
        json.Key(OutcomeKey(outcome)).Number(static_cast<long long>(counts[static_cast<int>(outcome)]));
    }
    json.EndObject();
    AddTable(session.report, rows);
    // What was done (or would be) and what was refused are always told, the rest when it occurred.
    std::string summary;
    const Outcome done = session.options.dryRun ? Outcome::WouldDo : Outcome::Done;
    for (Outcome outcome : {done, Outcome::AlreadyThere, Outcome::Refused}) {
        const std::size_t count = counts[static_cast<int>(outcome)];
        if (count == 0 && outcome == Outcome::AlreadyThere) continue;
        summary += (summary.empty() ? "" : ", ") + std::to_string(count) + " " + OutcomeWord(outcome, words);
    }
    session.report.Line(summary);
    if (status != kExitOk) return status;
    if (counts[static_cast<int>(Outcome::Refused)] == 0) return kExitOk;
    return session.report.Fail(kExitFalse, std::to_string(counts[static_cast<int>(Outcome::Refused)]) +
                                               " of " + std::to_string(results.size()) + " refused");
}

// Why the server would refuse the name before looking at its folders; nothing when it would not.
std::optional<std::string> NameProblem(const std::string& name, bool creating) {
    if (auto reserved = client::FirstReservedByte(name)) {
        char hex[8];
        std::snprintf(hex, sizeof hex, "0x%02X", static_cast<unsigned char>(*reserved));
        return std::string("the name holds the byte ") + hex + ", which the protocol cannot carry";
    }
    if (accounts::HoldsInvalidAccountCharacters(name)) {
        return "the name holds \\, /, : or a control character, or is . or ..";
    }
    if (name.size() > accounts::kMaxAccountNameLength) {
        return "the name is longer than " + std::to_string(accounts::kMaxAccountNameLength) + " bytes";
    }
    if (creating && accounts::HoldsUnstorableNameCharacters(name)) {
        return "the name holds *, ?, <, >, \" or |, which no file name may hold";
    }
    return std::nullopt;
}

// The accounts that exist now, as the server lists them, in capitals.
std::optional<std::set<std::string>> ExistingAccounts(Session& session) {
    std::optional<std::string> list = session.Ask(RequestType::ConsoleListAccounts, "accounts");
    if (!list) return std::nullopt;
    std::set<std::string> names;
    if (list->empty()) return names;
    for (const std::string& name : client::SplitFields(*list, client::kSectionSeparator)) {
        names.insert(platform::UpperCase(name));
    }
    return names;
}

// Creates or deletes every account of the list.
int RunAccountList(Session& session, bool creating) {
    std::vector<ListedName> names;
    if (auto problem = ReadNameList(*session.options.from, names)) return session.report.Fail(kExitFalse, *problem);
    std::optional<std::set<std::string>> existing = ExistingAccounts(session);
    if (!existing) return session.failureStatus;
    const Words words = creating ? Words{"created", "already there", "would create"}
                                 : Words{"deleted", "not there", "would delete"};
    std::vector<Result> results;
    Progress progress(names.size(), !session.options.json);
    int status = kExitOk;
    for (const ListedName& listed : names) {
        Result result{listed.name, listed.line, Outcome::Done, {}};
        const std::string key = platform::UpperCase(listed.name);
        if (auto problem = NameProblem(listed.name, creating)) {
            result.outcome = Outcome::Refused;
            result.reason = *problem;
        } else if (existing->count(key) == (creating ? 1u : 0u)) {
            result.outcome = Outcome::AlreadyThere;
        } else if (session.options.dryRun) {
            result.outcome = Outcome::WouldDo;
        } else if (status == kExitOk) {
            const int type = creating ? RequestType::CreateAccount : RequestType::DeleteAccount;
            std::optional<bool> done = session.AskTrue(type, creating ? "create" : "delete", listed.name);
            if (!done) status = session.failureStatus;
            result.outcome = done.value_or(false) ? Outcome::Done : Outcome::Refused;
            if (!done.value_or(false)) {
                result.reason = done ? "the server refused (its service log says why)" : "not tried: the server stopped answering";
            }
        } else {
            result.outcome = Outcome::Refused;
            result.reason = "not tried: the server stopped answering";
        }
        // Either way the name now stands as what a later line of the list finds.
        if (result.outcome == Outcome::Done || result.outcome == Outcome::WouldDo) {
            creating ? (void)existing->insert(key) : (void)existing->erase(key);
        }
        results.push_back(std::move(result));
        progress.Step(listed.name);
    }
    return Summarise(session, results, words, status);
}

// The logged-on sessions other than the consoles, newest first: every one, or one per account.
std::optional<std::vector<Item>> LoggedOnSessions(Session& session, bool onePerAccount) {
    std::optional<std::string> list = session.Ask(RequestType::ListSessions, "session list");
    if (!list) return std::nullopt;
    std::string_view entries = *list;
    if (!entries.empty() && entries.front() == client::kItemSeparator) entries.remove_prefix(1);
    std::vector<Item> items;
    std::set<std::string> seen;
    if (entries.empty()) return items;
    for (const std::string& entry : client::SplitFields(entries, client::kSectionSeparator)) {
        const std::vector<std::string> parts = client::SplitFields(entry, client::kFieldSeparator);
        // Not logged on (no kind), or a console.
        if (parts.size() < 3 || parts[2].empty() || parts[2] == "5") continue;
        if (onePerAccount && !seen.insert(parts[0]).second) continue;
        items.push_back({parts[0], 0});
    }
    return items;
}

// Sends one request per session: a message to every account, or a disconnect to every session.
int RunForSessions(Session& session, int type, const char* what, const std::string& text, const Words& words) {
    std::optional<std::vector<Item>> items = LoggedOnSessions(session, type == RequestType::SendTextMessage);
    if (!items) return session.failureStatus;
    std::vector<Result> results;
    Progress progress(items->size(), !session.options.json);
    int status = kExitOk;
    for (const Item& item : *items) {
        Result result{item.account, 0, Outcome::WouldDo, {}};
        if (!session.options.dryRun && status == kExitOk) {
            std::optional<bool> done = session.AskTrue(type, what, item.account, text);
            if (!done) status = session.failureStatus;
            result.outcome = done.value_or(false) ? Outcome::Done : Outcome::Refused;
            if (!done.value_or(false)) {
                result.reason = done ? "no session holds the account any more" : "not tried: the server stopped answering";
            }
        } else if (!session.options.dryRun) {
            result.outcome = Outcome::Refused;
            result.reason = "not tried: the server stopped answering";
        }
        results.push_back(std::move(result));
        progress.Step(item.account);
    }
    return Summarise(session, results, words, status);
}

} // namespace

int RunCreateFrom(Session& session) { return RunAccountList(session, true); }

int RunDeleteFrom(Session& session) { return RunAccountList(session, false); }

int RunMessageAll(Session& session) {
    return RunForSessions(session, RequestType::SendTextMessage, "message", session.args[0], Words{"sent", "-", "would send"});
}

int RunDisconnectAll(Session& session) {
    return RunForSessions(session, RequestType::DisconnectUser, "disconnect", {}, Words{"disconnected", "-", "would disconnect"});
}

} // namespace vserver::ctl
