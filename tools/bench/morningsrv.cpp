// The least a single-threaded epoll server can do for the morning scenario of vserver-load, on
// the same files: the measuring stick for the server's CPU time per workstation. It answers
// every request of the scenario with the bytes the server sends, and does the file work each
// needs in the fewest system calls (see MorningStore.h): preference reads and durable writes,
// statistics lines, queued messages synced before they are acknowledged, collections whose
// records leave the queue once the client sends its next request. The work of one epoll round
// is batched as the server batches a turn's: one statistics append, one synced append per
// queue, one rewrite per queue; the round's replies go out after that work is done.
//
//   morningsrv PORT FOLDER      (FOLDER as vserver-load --scenario morning --prepare made it)
//
// Listens on 127.0.0.1 (PORT 0: the system chooses; the port is printed). What the scenario
// never asks for is left out: version and lock checks, unknown accounts' silent sessions,
// request types other than 1, 2, 3, 101, 201, 203, 208, 210, 803 and 810.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

#include "MorningStore.h"
#include "ReferenceLoop.h"

namespace {

constexpr char kField = '\xA7';
constexpr char kSection = '\xA6';
constexpr char kItem = '\xB0';
constexpr char kEnd = '\xBB';
const std::string kGreeting = "1\xA7" "0\xA7\xBB\n";

// The records a collection handed to a connection, to go once it sends its next request.
struct Handout {
    std::string queue;
    std::vector<std::string> records;
};

struct Client {
    int index = 0;
    int kind = -1;
    std::string account, label, detail;
    std::string in, out;
    bool wantsOut = false;
    std::vector<Handout> handouts;
};

// A queue's work for the end of the round.
struct QueueWork {
    std::string appends;
    std::vector<std::string> removals;
};

// A logon that waits for the older session's answer to the liveness check.
struct WaitingLogon {
    int requester;
    std::string id;
};

struct Server {
    std::string users, folder;
    int poll = -1;
    int nextIndex = 1;
    std::unordered_map<int, Client> clients;
    std::vector<int> order;                       // connections in accept order
    std::unordered_map<std::string, int> holders;  // account -> connection
    std::unordered_map<int, WaitingLogon> waiting; // older session -> the logon it holds up
    std::map<std::string, QueueWork> queues;
    std::string statistics;                       // the round's lines
    std::vector<int> dirty;                        // connections with replies to send
};

// The request's positions: fields of section 1, then sections 2 to 4.
struct Request {
    std::vector<std::string> fields;
    std::vector<std::string> sections;
    const std::string& Field(std::size_t n) const {
        static const std::string empty;
        return n <= fields.size() ? fields[n - 1] : empty;
    }
    const std::string& Section(std::size_t n) const {
        static const std::string empty;
        return n <= sections.size() ? sections[n - 1] : empty;
    }
};

std::vector<std::string> Split(const std::string& text, char separator) {
    std::vector<std::string> parts(1);
    for (char c : text) {
        if (c == separator) parts.emplace_back();
        else parts.back().push_back(c);
    }
    return parts;
}

Request Parse(const std::string& text) {
    Request request;
    request.sections = Split(text, kSection);
    request.fields = Split(request.sections[0], kField);
    return request;
}

void Reply(Server& server, int fd, const std::string& text) {
    Client& client = server.clients[fd];
    if (client.out.empty()) server.dirty.push_back(fd);
    client.out += text;
    client.out += kEnd;
    client.out += '\n';
}

std::string Short(const Request& r) {
    std::string reply = "1";
    reply += kField;
    return reply += r.Field(1);
}
std::string Long(const Request& r, const std::string& result) {
    return Short(r) + kField + r.Field(4) + kField + result;
}

void AddStatistics(Server& server, const std::string& account, const std::string& label, const std::string& event,
                   const std::string& detail) {
    std::time_t now = std::time(nullptr);
    std::tm local {};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%m/%d/%y\t%H:%M:%S", &local);
    server.statistics += std::string(stamp) + "\t" + account + "\t" + label + "\t" + event + "\t" + detail + "\r\n";
}

void Logon(Server& server, int fd, const Request& r) {
    Client& client = server.clients[fd];
    int kind = std::atoi(r.Section(2).c_str());
    const std::string& account = r.Field(6);
    struct stat st {};
    if (kind != 5 && ::stat((server.users + "/" + account).c_str(), &st) != 0) {
        Reply(server, fd, Long(r, "1"));
        return;
    }
    if (auto holder = server.holders.find(account); kind != 5 && holder != server.holders.end()) {
        Reply(server, holder->second, "2" + std::string(1, kField) + account);
        server.waiting[holder->second] = WaitingLogon{fd, r.Field(1)};
        return;
    }
    client.kind = kind;
    client.account = account;
    client.label = r.Field(5);
    client.detail = r.Section(4);
    server.holders[account] = fd;
    if (kind != 5) AddStatistics(server, account, client.label, "101", "");
    Reply(server, fd, Short(r));
}

void LivenessAnswer(Server& server, int fd) {
    auto found = server.waiting.find(fd);
    if (found == server.waiting.end()) return;
    std::string refusal = "1" + std::string(1, kField) + found->second.id + kField + "101" + kField + "2";
    Reply(server, found->second.requester, refusal);
    server.waiting.erase(found);
}

std::string PreferencePath(const Server& server, const std::string& account) {
    return server.users + "/" + account + "/" + account + "VantorelSettings.vts";
}

void ReadPreference(Server& server, int fd, const Request& r) {
    std::vector<std::string> item = Split(r.Field(8), kItem);
    item.resize(3);
    std::string text = bench::ReadWhole(PreferencePath(server, r.Field(6)));
    std::string value = bench::ProfileValue(text, item[1], item[0], item[2]);
    Reply(server, fd, "202" + std::string(1, kField) + r.Field(1) + kField + item[0] + kItem + value);
}

void WritePreference(Server& server, int fd, const Request& r) {
    std::vector<std::string> item = Split(r.Field(8), kItem);
    item.resize(3);
    std::string path = PreferencePath(server, r.Field(6));
    bench::ReplaceDurably(path, bench::WithValue(bench::ReadWhole(path), item[1], item[0], item[2]));
    Reply(server, fd, Short(r));
}

void Collect(Server& server, int fd, const Request& r, const std::string& queue) {
    std::string text = bench::ReadWhole(queue, true);
    std::string result;
    Handout handout{queue, {}};
    for (const std::string& record : Split(text.substr(0, text.find('\0')), '\r')) {
        std::string trimmed = record.substr(record.empty() || record[0] != '\n' ? 0 : 1);
        std::size_t cut = trimmed.find(kSection);
        if (cut == std::string::npos || trimmed.compare(0, cut, r.Field(6)) != 0) continue;
        if (!result.empty()) result += kItem;
        result += trimmed.substr(cut + 1);
        handout.records.push_back(trimmed + "\r\n");
    }
    if (!handout.records.empty()) server.clients[fd].handouts.push_back(std::move(handout));
    Reply(server, fd, Long(r, result));
}

std::string ListSessions(Server& server) {
    std::string list(1, kItem);
    for (auto it = server.order.rbegin(); it != server.order.rend(); ++it) {
        const Client& client = server.clients[*it];
        if (it != server.order.rbegin()) list += kSection;
        if (client.kind < 0) {
            list += "<Logging On, Index #" + std::to_string(client.index) + "...>" + std::string(3, kField);
            continue;
        }
        list += client.account + kField + client.label + kField + std::to_string(client.kind) + kField + client.detail;
    }
    return list;
}

// The client read its collections' replies: their records go at the end of the round.
void Confirm(Server& server, Client& client) {
    for (Handout& handout : client.handouts) {
        std::vector<std::string>& removals = server.queues[handout.queue].removals;
        removals.insert(removals.end(), handout.records.begin(), handout.records.end());
    }
    client.handouts.clear();
}

void Serve(Server& server, int fd, const std::string& text) {
    Request r = Parse(text);
    Confirm(server, server.clients[fd]);
    const std::string& type = r.Field(4);
    std::string messages = server.folder + "/UserMessages.log";
    if (type == "101") Logon(server, fd, r);
    else if (type == "1") LivenessAnswer(server, fd);
    else if (type == "201") ReadPreference(server, fd, r);
    else if (type == "203") WritePreference(server, fd, r);
    else if (type == "208") Collect(server, fd, r, messages);
    else if (type == "210") Collect(server, fd, r, server.folder + "/ForcedToolbarSets.log");
    else if (type == "803") Reply(server, fd, Long(r, ListSessions(server)));
    else if (type == "810") {
        server.queues[messages].appends += r.Field(7) + kSection + r.Field(8) + "\r\n";
        Reply(server, fd, Long(r, "True"));
    } else if (type == "3") {
        AddStatistics(server, r.Field(6), r.Field(5), r.Field(7), r.Field(8));
        Reply(server, fd, Short(r));
    } else {
        Reply(server, fd, Short(r));
    }
}

// The queue without the removed records (the earliest of equal ones), in the record format.
std::string WithoutRemoved(const std::string& text, std::vector<std::string> removals) {
    std::string kept;
    for (const std::string& record : Split(text.substr(0, text.find('\0')), '\n')) {
        if (record.empty()) continue;
        std::string whole = record + "\n";
        auto found = std::find(removals.begin(), removals.end(), whole);
        if (found != removals.end()) removals.erase(found);
        else kept += whole;
    }
    if (!kept.empty()) kept.push_back('\0');
    return kept;
}

// The round's file work, before any of its replies leaves.
void FinishRound(Server& server) {
    if (!server.statistics.empty()) bench::AppendRecords(server.users + "/EventLog.log", server.statistics, false);
    server.statistics.clear();
    for (auto& [path, work] : server.queues) {
        if (!work.appends.empty()) bench::AppendRecords(path, work.appends, true);
        if (!work.removals.empty()) {
            // The lock keeps other writers out until the new file is in place.
            int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || ::flock(fd, LOCK_EX) != 0) bench::Die("open", path);
            bench::ReplaceDurably(path, WithoutRemoved(bench::ReadFrom(fd), work.removals));
            ::close(fd);
        }
    }
    server.queues.clear();
}

void Flush(Server& server, int fd) {
    Client& client = server.clients[fd];
    bench::Flush(server.poll, fd, client.out, client.wantsOut);
}

void Close(Server& server, int fd) {
    Client& client = server.clients[fd];
    Confirm(server, client);   // an orderly end: the client read what it was sent
    if (auto holder = server.holders.find(client.account); holder != server.holders.end() && holder->second == fd) {
        server.holders.erase(holder);
    }
    server.order.erase(std::find(server.order.begin(), server.order.end(), fd));
    server.clients.erase(fd);
    ::close(fd);
}

void Receive(Server& server, int fd) {
    static char input[16384];
    ssize_t got = ::read(fd, input, sizeof input);
    if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
        Close(server, fd);
        return;
    }
    if (got < 0) return;   // nothing to read after all
    Client& client = server.clients[fd];   // stays valid while other entries come and go
    bench::ForEachMessage(client.in, input, static_cast<std::size_t>(got),
                          [&](const std::string& text) { Serve(server, fd, text); });
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PORT FOLDER\n", argv[0]);
        return 2;
    }
    Server server;
    server.folder = argv[2];
    server.users = server.folder + "/master/Users";
    const int listener = bench::ListenOnLoopback(std::atoi(argv[1]), server.poll);
    if (listener < 0) return 1;
    sockaddr_in bound{};
    socklen_t length = sizeof bound;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&bound), &length);
    std::printf("listening on port %d\n", ntohs(bound.sin_port));
    std::fflush(stdout);

    epoll_event events[1024];
    for (;;) {
        int ready = ::epoll_wait(server.poll, events, 1024, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return 1;
        for (int i = 0; i < ready; ++i) {
            int fd = events[i].data.fd;
            if (fd == listener) {
                bench::AcceptWaiting(server.poll, listener, [&server](int accepted) {
                    // A fresh socket takes the greeting whole.
                    (void)!::write(accepted, kGreeting.data(), kGreeting.size());
                    server.clients[accepted].index = server.nextIndex++;
                    server.order.push_back(accepted);
                });
            } else if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                Receive(server, fd);
            }
            if (fd != listener && server.clients.count(fd) != 0 && (events[i].events & EPOLLOUT)) Flush(server, fd);
        }
        FinishRound(server);
        for (int fd : server.dirty) {
            if (server.clients.count(fd) != 0) Flush(server, fd);
        }
        server.dirty.clear();
    }
}
