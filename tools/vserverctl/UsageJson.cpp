// The usage report as one JSON document: every table, names in UTF-8, lengths in seconds.

#include "vserverctl/TextForms.h"
#include "vserverctl/UsageTables.h"

namespace vserver::ctl {

namespace {

void When(JsonWriter& json, std::string_view key, CivilSeconds at) {
    json.Key(key);
    at == kNever ? json.Null() : json.String(IsoDateTime(at));
}

void Day(JsonWriter& json, std::string_view key, long long day, long long none) {
    json.Key(key);
    day == none ? json.Null() : json.String(IsoDate(day));
}

void Totals(JsonWriter& json, const UsageTally& tally) {
    const UsageTotals& t = tally.totals();
    json.Key("totals").BeginObject();
    json.Key("lines").Number(t.lines).Key("linesInPeriod").Number(t.linesInPeriod);
    json.Key("unreadableLines").Number(t.unreadable).Key("continuedLines").Number(t.continued);
    json.Key("sessions").Number(t.sessions).Key("openSessions").Number(t.openSessions);
    json.Key("endsWithoutLogon").Number(t.endsWithoutLogon).Key("seconds").Number(t.seconds);
    json.Key("events").Number(t.events);
    When(json, "first", t.first);
    When(json, "last", t.last);
    json.Key("mostAtOnce").Number(t.mostAtOnce);
    When(json, "mostAtOnceAt", t.mostAtOnceAt);
    json.EndObject();
}

void Accounts(JsonWriter& json, const UsageTally& tally) {
    json.Key("accounts").BeginArray();
    for (const AccountUsage* a : SeenAccounts(tally)) {
        json.BeginObject().Key("account").String(Utf8FromCodePage(a->name));
        json.Key("sessions").Number(a->sessions).Key("openSessions").Number(a->openSessions);
        json.Key("seconds").Number(a->seconds).Key("medianMinutes");
        a->MedianMinutes() < 0 ? json.Null() : json.Number(a->MedianMinutes());
        When(json, "firstSeen", a->firstSeen);
        When(json, "lastSeen", a->lastSeen);
        json.Key("workstations").Number(a->workstations.Count()).Key("events").Number(a->events).EndObject();
    }
    json.EndArray();
}

void Workstations(JsonWriter& json, const UsageTally& tally) {
    json.Key("workstations").BeginArray();
    for (const WorkstationUsage* w : SeenWorkstations(tally)) {
        json.BeginObject().Key("workstation").String(Utf8FromCodePage(w->name));
        json.Key("sessions").Number(w->sessions).Key("openSessions").Number(w->openSessions);
        json.Key("seconds").Number(w->seconds).Key("accounts").Number(w->accounts.Count()).EndObject();
    }
    json.EndArray();
}

void Calendar(JsonWriter& json, const UsageTally& tally) {
    json.Key("days").BeginArray();
    for (const auto& [day, usage] : tally.days()) {
        json.BeginObject().Key("day").String(IsoDate(day)).Key("sessions").Number(usage.sessions);
        json.Key("mostAtOnce").Number(usage.mostAtOnce).Key("events").Number(usage.events).EndObject();
    }
    json.EndArray().Key("hours").BeginArray();
    for (std::size_t hour = 0; hour < tally.hours().size(); ++hour) {
        const HourUsage& usage = tally.hours()[hour];
        json.BeginObject().Key("hour").Number(static_cast<long long>(hour)).Key("sessions").Number(usage.sessions);
        json.Key("mostAtOnce").Number(usage.mostAtOnce).EndObject();
    }
    json.EndArray();
}

void Events(JsonWriter& json, const UsageTally& tally) {
    json.Key("events").BeginArray();
    for (const EventUsage* e : EventsByCount(tally)) {
        json.BeginObject().Key("event").String(Utf8FromCodePage(e->code)).Key("count").Number(e->count);
        json.Key("accounts").Number(e->accounts.Count()).EndObject();
    }
    json.EndArray().Key("unreadable").BeginArray();
    for (const UnreadableLine& line : tally.unreadable()) {
        json.BeginObject().Key("file").String(line.source).Key("line").Number(line.line);
        json.Key("reason").String(line.reason).EndObject();
    }
    json.EndArray();
}

} // namespace

void AddUsageJson(JsonWriter& json, const UsageTally& tally, const std::vector<std::string>& sources) {
    json.Key("files").BeginArray();
    for (const std::string& source : sources) json.String(source);
    json.EndArray().Key("period").BeginObject();
    Day(json, "from", tally.period().firstDay, LLONG_MIN);
    Day(json, "to", tally.period().lastDay, LLONG_MAX);
    json.EndObject();
    Totals(json, tally);
    Accounts(json, tally);
    Workstations(json, tally);
    Calendar(json, tally);
    Events(json, tally);
}

} // namespace vserver::ctl
