// vserverctl check: the server's state for a monitoring system, in the monitoring-plugins
// convention: one status line with performance data after "|", and the exit status 0 OK,
// 1 WARNING, 2 CRITICAL or 3 UNKNOWN.

#include <algorithm>
#include <filesystem>

#include "accounts/Queues.h"
#include "platform/FileSystem.h"
#include "vserverctl/Commands.h"
#include "vserverctl/Installation.h"

namespace vserver::ctl {

using wire::RefusalCode;
using wire::RequestType;

namespace {

enum CheckStatus { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };
constexpr const char* kStatusNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};

struct Limits {
    std::optional<long long> connections;
    std::optional<long long> queued;
};

// "N", "N,M", ",M" or "N,": the connections and the queued items; nothing when malformed.
std::optional<Limits> ParseLimits(const std::string& text) {
    Limits limits;
    const std::size_t comma = text.find(',');
    const std::string parts[] = {text.substr(0, comma), comma == std::string::npos ? "" : text.substr(comma + 1)};
    std::optional<long long>* targets[] = {&limits.connections, &limits.queued};
    for (int i = 0; i < 2; ++i) {
        if (parts[i].empty()) continue;
        if (parts[i].size() > 12 || !std::all_of(parts[i].begin(), parts[i].end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return std::nullopt;
        }
        *targets[i] = std::stoll(parts[i]);
    }
    return limits;
}

// What the check found; a figure it could not learn is missing.
struct Findings {
    std::optional<long long> connections;
    std::optional<long long> sessions;
    std::optional<bool> locked;
    std::optional<long long> queued;
    std::optional<long long> serviceLogBytes;
    std::string note;   // why the server's own figures are missing, when they are
};

bool IsThisComputer(const std::string& host) {
    return host == "127.0.0.1" || host == "::1" || host == "localhost" || host == client::LocalHostName();
}

// The logged-on sessions in the session list, the consoles left out.
long long CountSessions(const std::string& list) {
    long long sessions = 0;
    std::string_view entries = list;
    if (!entries.empty() && entries.front() == client::kItemSeparator) entries.remove_prefix(1);
    if (entries.empty()) return 0;
    for (const std::string& entry : client::SplitFields(entries, client::kSectionSeparator)) {
        const std::vector<std::string> parts = client::SplitFields(entry, client::kFieldSeparator);
        if (parts.size() > 2 && !parts[2].empty() && parts[2] != "5") ++sessions;
    }
    return sessions;
}

// Asks the server; a status other than OK when it cannot be asked.
CheckStatus AskServer(Session& session, Findings& found) {
    const client::ConsoleClient::Outcome& connected = session.Connect();
    if (connected.status != client::ConsoleClient::Status::Ok) {
        found.note = connected.error;
        return kCritical;
    }
    const client::ConsoleClient::Outcome& logon = session.LogOn();
    if (logon.status == client::ConsoleClient::Status::Refused && logon.refusalCode == RefusalCode::SessionAlive) {
        found.note = "another console is logged on, so the connections cannot be asked for";
        return kOk;
    }
    if (logon.status != client::ConsoleClient::Status::Ok) {
        found.note = logon.error;
        return logon.status == client::ConsoleClient::Status::Refused ? kUnknown : kCritical;
    }
    const std::optional<std::string> count = session.Ask(RequestType::CountClients, "count");
    const std::optional<std::string> list = count ? session.Ask(RequestType::ListSessions, "session list") : std::nullopt;
    const std::optional<bool> locked = list ? session.AskTrue(RequestType::IsLogonLocked, "locked") : std::nullopt;
    if (!locked) {
        found.note = "the server stopped answering";
        return kCritical;
    }
    found.connections = std::atoll(count->c_str());
    found.sessions = CountSessions(*list);
    found.locked = *locked;
    return kOk;
}

void ReadLocalFiles(Findings& found) {
    const Installation installation = ReadInstallation();
    long long queued = 0;
    for (const std::string& path : {installation.UserMessagesPath(), installation.ForcedToolbarSetsPath()}) {
        const std::optional<std::string> stored = platform::ResolveExisting(path);
        if (!stored) continue;   // no queue file: nothing waits
        std::string text;
        if (!platform::ReadWholeFile(*stored, text)) return;
        queued += static_cast<long long>(accounts::CountQueuedRecords(text));
    }
    found.queued = queued;
    std::error_code error;
    const auto size = std::filesystem::file_size(std::filesystem::path(installation.serviceLogPath), error);
    if (!error) found.serviceLogBytes = static_cast<long long>(size);
}

// The worse of the status so far and what figure says against its thresholds.
CheckStatus Judge(CheckStatus status, const std::optional<long long>& figure, const std::optional<long long>& warning,
                  const std::optional<long long>& critical) {
    if (!warning && !critical) return status;
    if (!figure) return std::max(status, kUnknown);
    if (critical && *figure > *critical) return std::max(status, kCritical);
    if (warning && *figure > *warning) return std::max(status, kWarning);
    return status;
}

// One figure of the performance data: 'label'=value[unit];[warn];[crit];[min];[max].
std::string Perf(const char* label, const std::optional<long long>& value, const char* unit,
                 const std::optional<long long>& warning, const std::optional<long long>& critical,
                 const char* maximum = "") {
    if (!value) return {};
    auto limit = [](const std::optional<long long>& v) { return v ? std::to_string(*v) : std::string(); };
    std::string figure = std::string(" ") + label + "=" + std::to_string(*value) + unit + ";" + limit(warning) + ";" +
                         limit(critical) + ";0";
    return *maximum == '\0' ? figure : figure + ";" + maximum;
}

std::string StatusLine(CheckStatus status, const Findings& found, const Limits& warning, const Limits& critical) {
    std::string facts;
    if (found.connections) facts += std::to_string(*found.connections) + " connections, ";
    if (found.sessions) facts += std::to_string(*found.sessions) + " sessions, ";
    if (found.locked) facts += *found.locked ? "logons locked, " : "logons open, ";
    if (found.queued) facts += std::to_string(*found.queued) + " queued items waiting, ";
    if (!facts.empty()) facts.resize(facts.size() - 2);
    std::string text = std::string("VSERVER ") + kStatusNames[status] + " - " + found.note;
    if (!found.note.empty() && !facts.empty()) text += "; ";
    text += facts;
    const std::optional<long long> locked =
        found.locked ? std::optional<long long>(*found.locked ? 1 : 0) : std::nullopt;
    const std::string perf = Perf("connections", found.connections, "", warning.connections, critical.connections) +
                             Perf("sessions", found.sessions, "", {}, {}) + Perf("locked", locked, "", {}, {}, "1") +
                             Perf("queued", found.queued, "", warning.queued, critical.queued) +
                             Perf("servicelog", found.serviceLogBytes, "B", {}, {});
    return perf.empty() ? text : text + " |" + perf;
}

void FindingsAsJson(JsonWriter& json, CheckStatus status, const Findings& found) {
    auto number = [&json](const char* key, const std::optional<long long>& value) {
        json.Key(key);
        value ? json.Number(*value) : json.Null();
    };
    json.Key("status").String(kStatusNames[status]).Key("exitStatus").Number(status);
    number("connections", found.connections);
    number("sessions", found.sessions);
    json.Key("locked");
    found.locked ? json.Bool(*found.locked) : json.Null();
    number("queuedItems", found.queued);
    number("serviceLogBytes", found.serviceLogBytes);
    json.Key("note");
    found.note.empty() ? json.Null() : json.String(found.note);
}

} // namespace

std::optional<std::string> CheckThresholds(const CommandOptions& options) {
    for (const std::optional<std::string>* given : {&options.warning, &options.critical}) {
        if (*given && !ParseLimits(**given)) {
            return "invalid threshold \"" + **given + "\" (CONNECTIONS[,QUEUED], whole numbers, either may be left out)";
        }
    }
    return std::nullopt;
}

int RunCheck(Session& session) {
    const Limits warning = session.options.warning ? *ParseLimits(*session.options.warning) : Limits{};
    const Limits critical = session.options.critical ? *ParseLimits(*session.options.critical) : Limits{};
    Findings found;
    CheckStatus status = AskServer(session, found);
    if (IsThisComputer(session.endpoint().host)) ReadLocalFiles(found);
    if (status != kCritical) {
        status = Judge(status, found.connections, warning.connections, critical.connections);
        status = Judge(status, found.queued, warning.queued, critical.queued);
    }
    FindingsAsJson(session.report.json(), status, found);
    session.report.Line(StatusLine(status, found, warning, critical));
    return session.report.Answer(status);
}

} // namespace vserver::ctl
