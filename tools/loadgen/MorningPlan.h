#pragma once
// The morning scenario's script: what every workstation, every older session and the console
// send, and the replies the server owes them. Replies that depend on stored data (preference
// values, queued toolbar sets) come from Expectations, which is read from the prepared files;
// collections of messages and the session list depend on timing and are checked by
// MorningChecks instead.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vserver::loadgen::morning {

// One preference read of the start-up: key, section, and the default the client sends.
struct ReadItem {
    const char* key;
    const char* section;
    const char* fallback;
};
inline constexpr int kReads = 5;
// The last key is in no prepared file, so its read answers the default, as a first logon's does.
inline constexpr std::array<ReadItem, kReads> kReadItems = {{{"FontSize", "Display", "12"},
                                                            {"Voice", "Speech", "Default"},
                                                            {"Speed", "Speech", "5"},
                                                            {"LastBook", "Reading", "None"},
                                                            {"Theme", "Display", "Classic"}}};

// What each request of the run is, for the latency table.
enum class Kind : std::uint8_t {
    Logon, Read, CollectMessages, CollectToolbarSets, Write, Event, LastCollect, Confirm, Queue, List, Count
};
inline constexpr int kKinds = static_cast<int>(Kind::Count);
// "101 logon" and so on: the request type and what it does.
const char* KindName(Kind kind);

// A workstation's steps: logon, five reads, 208, 210, 203 and three events make its start-up;
// the last collection and the request that confirms it come after the run. Step s is sent with
// request id s + 1.
inline constexpr int kStartUpSteps = 12;
inline constexpr int kAllSteps = 14;
Kind KindOfStep(int step);

// What the prepared files promise, for the accounts the run uses.
struct Expectations {
    std::string prefix;
    int workstations = 0;
    std::vector<std::array<std::string, kReads>> values;   // per account, each read's answer
    std::vector<std::string> toolbarSets;                  // per account, the 210 result
    // Messages queued before the run, in file order: account number and payload.
    std::vector<std::pair<int, std::string>> queuedMessages;
};

std::string AccountName(std::string_view prefix, int account);
// A tenth of the accounts already hold a session on another workstation.
inline bool HoldsOlderSession(int account) { return account % 10 == 0; }
// The older session answers the check, so the server refuses the new logon as in use (code 2).
inline bool LogonRefused(int account) { return HoldsOlderSession(account); }

std::string WorkstationRequest(const Expectations& plan, int account, int step);
// The whole reply (with its terminator) to a step other than a collection of messages.
std::string WorkstationReply(const Expectations& plan, int account, int step);
// "1", 0xA7, id, 0xA7, type, 0xA7: what a collection's reply starts with, before its result.
std::string CollectionReplyHead(int step);

std::string OlderSessionLogon(std::string_view prefix, int account);
std::string LivenessCheck(std::string_view prefix, int account);
std::string LivenessAnswer(std::string_view prefix, int account);

std::string ConsoleLogon();
std::string QueueRequest(long long id, std::string_view account, std::string_view payload);
std::string QueueReply(long long id, bool stored);
std::string ListRequest(long long id);
// "1", 0xA7, id, 0xA7, "803", 0xA7, 0xB0: what a session list's reply starts with.
std::string ListReplyHead(long long id);
// "1", 0xA7, id: a short-form completion.
std::string ShortReply(long long id);

// The session list's entries for the scenario's logged-on sessions.
std::string ConsoleEntry();
std::string WorkstationEntry(std::string_view prefix, int account);
std::string OlderSessionEntry(std::string_view prefix, int account);

// The statistics columns after date and time (account, label, event, detail) of every line
// the run makes the server write, in no particular order.
std::vector<std::string> StatisticsColumns(const Expectations& plan);

} // namespace vserver::loadgen::morning
