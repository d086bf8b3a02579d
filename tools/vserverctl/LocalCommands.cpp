// The commands that read the installation's own files besides asking the server: status, log
// and the option listing.

#include <cstdio>
#include <ctime>
#include <fstream>
#include <iterator>
#include <thread>

#include "client/ServiceLogText.h"
#include "formats/TextCase.h"
#include "platform/FileSystem.h"
#include "platform/InstanceLock.h"
#include "settings/ServiceLog.h"
#include "vserverctl/Commands.h"
#include "vserverctl/Installation.h"

namespace vserver::ctl {

using wire::RefusalCode;
using wire::RequestType;

namespace {

using namespace std::chrono_literals;

std::string Duration(long long seconds) {
    char text[64];
    const long long days = seconds / 86400;
    const long long hours = seconds / 3600 % 24;
    const long long minutes = seconds / 60 % 60;
    if (days > 0) {
        std::snprintf(text, sizeof text, "%lldd %02lldh %02lldm", days, hours, minutes);
    } else {
        std::snprintf(text, sizeof text, "%lldh %02lldm %02llds", hours, minutes, seconds % 60);
    }
    return text;
}

void Fact(Session& session, const char* label, const std::string& value) {
    std::string line = label;
    line.resize(21, ' ');
    session.report.Line(line + value);
}

// One record as JSON: its date, time and text where the record has the usual shape.
void RecordAsJson(JsonWriter& json, const std::string& record) {
    const std::size_t first = record.find('\t');
    const std::size_t second = first == std::string::npos ? first : record.find('\t', first + 1);
    json.BeginObject();
    if (second == std::string::npos) {
        json.Key("date").Null().Key("time").Null().Key("text").String(record);
    } else {
        json.Key("date").String(record.substr(0, first)).Key("time").String(record.substr(first + 1, second - first - 1));
        json.Key("text").String(record.substr(second + 1));
    }
    json.EndObject();
}

// Prints the records written after offset until the process is ended.
[[noreturn]] void FollowServiceLog(const std::string& path, std::size_t offset) {
    for (;;) {
        std::this_thread::sleep_for(250ms);
        std::ifstream in(path, std::ios::binary);
        if (!in) continue;
        in.seekg(0, std::ios::end);
        const auto size = static_cast<std::size_t>(in.tellg());
        // A log that was replaced or emptied is read from its start again.
        if (size < offset) offset = 0;
        in.seekg(static_cast<std::streamoff>(offset));
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::size_t used = 0;
        for (const std::string& record : client::ServiceLogRecords(text, &used)) std::printf("%s\n", record.c_str());
        std::fflush(stdout);
        offset += used;
    }
}

} // namespace

int RunStatus(Session& session) {
    const Installation installation = ReadInstallation();
    JsonWriter& json = session.report.json();
    const platform::InstanceLockState lock = platform::QueryInstanceLock(installation.lockPath);

    std::optional<std::string> version = session.AskWithoutLogon(RequestType::ServerVersion, "version");
    json.Key("version");
    version ? json.String(*version) : json.Null();
    Fact(session, "server version", version ? *version : "unknown (not reachable)");

    json.Key("pid");
    lock.held && lock.holderPid > 0 ? json.Number(lock.holderPid) : json.Null();
    json.Key("uptimeSeconds");
    const long long uptime = lock.held && lock.since > 0 ? static_cast<long long>(std::time(nullptr) - lock.since) : -1;
    uptime >= 0 ? json.Number(uptime) : json.Null();
    std::string process = "no server runs from this folder";
    if (lock.held) {
        process = (lock.holderPid > 0 ? std::to_string(lock.holderPid) : std::string("unknown")) +
                  (uptime >= 0 ? ", up " + Duration(uptime) : std::string());
    }
    Fact(session, "process id", process);

    const Endpoint& endpoint = session.endpoint();
    json.Key("host").String(endpoint.host).Key("port");
    endpoint.port ? json.Number(*endpoint.port) : json.Null();
    Fact(session, "port", endpoint.port ? std::to_string(*endpoint.port) + " on " + endpoint.host : endpoint.portProblem);

    json.Key("installationFolder").String(installation.folder);
    Fact(session, "installation folder", installation.folder);
    std::string registryNote = installation.problem;
    if (registryNote.empty() && !installation.registryExists) registryNote = "does not exist: the defaults apply";
    registryNote = registryNote.empty() ? "" : " (" + registryNote + ")";
    if (installation.inSystemRegistry()) {
        json.Key("registryFile").Null().Key("registryKey").String(settings::kServerKey);
        Fact(session, "registry key", settings::kServerKey + registryNote);
    } else {
        json.Key("registryFile").String(installation.registryPath);
        Fact(session, "registry file", installation.registryPath + registryNote);
    }
    json.Key("masterPath");
    installation.masterPath ? json.String(*installation.masterPath) : json.Null();
    Fact(session, "master path", installation.masterPath ? *installation.masterPath : "not set");

    std::optional<std::string> count;
    std::optional<bool> locked;
    std::optional<bool> consoleLoggedOn;
    if (version) {
        const client::ConsoleClient::Outcome& logon = session.LogOn();
        if (logon.status == client::ConsoleClient::Status::Ok) {
            consoleLoggedOn = false;
            count = session.Ask(RequestType::CountClients, "count");
            if (count) locked = session.AskTrue(RequestType::IsLogonLocked, "locked");
        } else if (logon.status == client::ConsoleClient::Status::Refused && logon.refusalCode == RefusalCode::SessionAlive) {
            // Only one console may be logged on: the refusal itself answers the question.
            consoleLoggedOn = true;
        } else {
            session.failureStatus = session.report.Fail(kExitUnreachable, logon.error);
        }
    }
    json.Key("connections");
    count ? json.Number(std::atoll(count->c_str())) : json.Null();
    Fact(session, "connections", count ? *count + " (without consoles)" : "unknown");
    json.Key("consoleLoggedOn");
    consoleLoggedOn ? json.Bool(*consoleLoggedOn) : json.Null();
    Fact(session, "console logged on",
         consoleLoggedOn ? (*consoleLoggedOn ? "yes (so connections and the lock cannot be asked for)" : "no") : "unknown");
    json.Key("locked");
    locked ? json.Bool(*locked) : json.Null();
    Fact(session, "logons", locked ? (*locked ? "locked" : "not locked") : "unknown");
    return session.failureStatus;
}

int RunLog(Session& session) {
    const std::string path = ReadInstallation().serviceLogPath;
    std::string text;
    if (platform::SysResult read = platform::ReadWholeFile(path, text); !read) {
        return session.report.Fail(kExitFalse, "cannot read the service log " + path + ": " + read.Describe());
    }
    std::size_t used = 0;
    std::vector<std::string> records = client::ServiceLogRecords(text, &used);
    if (session.options.lines && records.size() > static_cast<std::size_t>(*session.options.lines)) {
        records.erase(records.begin(), records.end() - *session.options.lines);
    }
    JsonWriter& json = session.report.json();
    json.Key("path").String(path).Key("records").BeginArray();
    for (const std::string& record : records) {
        RecordAsJson(json, record);
        session.report.Line(record);
    }
    json.EndArray();
    if (!session.options.follow) return kExitOk;
    session.report.Emit(kExitOk);
    FollowServiceLog(path, used);
}

int RunOptionList(Session& session) {
    struct Row {
        std::string name;
        const settings::ServerOption* known;
    };
    std::vector<Row> rows;
    for (const settings::ServerOption& option : settings::ServerOptions()) rows.push_back({option.name, &option});
    // The options the server does not read are known only from the settings this program reads.
    for (const std::string& name : ReadInstallation().optionNames) {
        if (!name.empty() && settings::FindServerOption(name) == nullptr) rows.push_back({name, nullptr});
    }
    std::vector<std::vector<std::string>> table{{"NAME", "STORED", "EFFECTIVE", "DEFAULT"}};
    JsonWriter& json = session.report.json();
    json.Key("options").BeginArray();
    for (const Row& row : rows) {
        std::optional<std::string> stored = session.Ask(RequestType::ReadOption, "option list", row.name, {});
        if (!stored) return session.failureStatus;
        const std::string effective = row.known ? settings::EffectiveOptionValue(*row.known, *stored) : *stored;
        json.BeginObject().Key("name").String(row.name).Key("stored");
        stored->empty() ? json.Null() : json.String(*stored);
        json.Key("effective").String(effective).Key("default");
        row.known ? json.String(row.known->defaultText) : json.Null();
        json.Key("usedByServer").Bool(row.known != nullptr).EndObject();
        table.push_back({row.name, stored->empty() ? "-" : *stored, effective.empty() ? "-" : effective,
                         row.known && *row.known->defaultText != '\0' ? row.known->defaultText : "-"});
    }
    json.EndArray();
    AddTable(session.report, table);
    return kExitOk;
}

} // namespace vserver::ctl
