// Measures the account store through the real server: the account listing with many accounts,
// a queue collection from a large queue file, and preference reads and writes per second.
// While the collections run, a second connection asks for the version in a loop and reports its
// longest wait: how long the collections keep the server from answering anyone else.
// It installs the given server binary into a temporary folder of its own, starts it on a free
// port, runs the measures one after the other and prints one line per figure. The collections
// are also counted in system calls (strace attached to the server for one more collection).
//
//   accounts_bench <path to VServerService> [accounts=10000] [records=100000]
//                  [queueAccounts=50] [seconds=3]

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cctype>
#include <cstdlib>
#include <functional>
#include <memory>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchServer.h"
#include "client/ProtocolClient.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using vserver::client::Connection;
using vserver::client::Request;
using vserver::wire::RequestType;
using vserver::bench::BenchServer;
using vserver::bench::CpuNanoseconds;
using vserver::bench::ReadAll;
using vserver::bench::WriteAll;

struct Settings {
    std::string server;
    int accounts = 10000;
    int records = 100000;
    int queueAccounts = 50;
    int seconds = 3;
};

double Milliseconds(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

std::string AccountName(int i) { return "student" + std::to_string(i); }

// The accounts and a queue file in the server's installation. Returns the queue file's content.
std::string Install(const Settings& s, const BenchServer& server) {
    const std::string users = server.usersFolder();
    for (int i = 0; i < s.accounts; ++i) fs::create_directory(users + "/" + AccountName(i));
    WriteAll(users + "/" + AccountName(0) + "/STUDENT0VantorelSettings.vts",
             "[General]\r\nFontSize=12\r\nVoice=Default\r\n");

    std::string queue;
    for (int i = 0; i < s.records; ++i) {
        queue += AccountName(i % s.queueAccounts);
        queue += '\xA6';
        queue += "Message number " + std::to_string(i) + " for today's reading";
        queue += "\r\n";
    }
    queue += '\0';
    WriteAll(server.folder() + "/UserMessages.log", queue);
    return queue;
}

std::string Ask(Connection& c, const Request& r) {
    c.Send(r);
    return c.ReadMessage(30s).value_or("");
}

void MeasureListing(Connection& c, const Settings& s) {
    Request r;
    r.type = RequestType::ListAccounts;
    std::vector<double> times;
    std::size_t bytes = 0;
    for (int i = 1; i <= 20; ++i) {
        r.id = i;
        auto start = Clock::now();
        bytes = Ask(c, r).size() + 2;  // the terminator and line feed travel too
        times.push_back(Milliseconds(Clock::now() - start));
    }
    std::sort(times.begin(), times.end());
    std::printf("request 100 with %d accounts: median %.2f ms, best %.2f ms, reply %zu bytes (target < 50 ms)\n",
                s.accounts, times[times.size() / 2], times.front(), bytes);
}

// Counts the system calls the server makes while work runs, with strace attached to it; total
// is -1 when strace cannot be run. top names the calls made most.
struct SyscallCount {
    long total = -1;
    std::string top;
};

SyscallCount CountSyscalls(pid_t server, const std::string& folder, const std::function<void()>& work) {
    const std::string out = folder + "/strace.txt";
    const std::string target = std::to_string(server);
    pid_t tracer = ::fork();
    if (tracer == 0) {
        std::freopen("/dev/null", "w", stderr);
        ::execlp("strace", "strace", "-c", "-f", "-q", "-p", target.c_str(), "-o", out.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::this_thread::sleep_for(500ms);   // time to attach
    work();
    std::this_thread::sleep_for(200ms);
    ::kill(tracer, SIGINT);
    ::waitpid(tracer, nullptr, 0);
    SyscallCount count;
    std::istringstream rows(ReadAll(out));
    std::vector<std::pair<long, std::string>> calls;
    for (std::string row; std::getline(rows, row);) {
        std::istringstream fields(row);
        std::vector<std::string> cols;
        for (std::string col; fields >> col;) cols.push_back(col);
        if (cols.size() < 5 || !std::isdigit(static_cast<unsigned char>(cols[0][0])) || cols.back() == "total") continue;
        calls.emplace_back(std::atol(cols[3].c_str()), cols.back());
    }
    if (calls.empty()) return count;
    std::sort(calls.begin(), calls.end(), std::greater<>());
    count.total = 0;
    for (const auto& [n, name] : calls) {
        count.total += n;
        count.top += (count.top.empty() ? "" : ", ") + name + " " + std::to_string(n);
    }
    return count;
}

std::string Describe(const SyscallCount& count) {
    if (count.total < 0) return "system calls not counted (no strace)";
    return std::to_string(count.total) + " system calls (" + count.top + ")";
}

struct CollectionRun {
    double cpuMs = 0;       // the server's processor time until the reply (and the removal)
    double replyMs = 0;
    double removedMs = 0;   // until the file was replaced; 0 when it was not
    std::size_t items = 0;
};

// One collection for account. When records are to go, the client then shows it read the reply
// (its next request, as a client's own next request does) and waits (at most 2 s) until the
// file has been replaced.
CollectionRun CollectOnce(Connection& c, pid_t server, const std::string& queue, const std::string& account,
                          bool removes) {
    const long long cpuBefore = CpuNanoseconds(server);
    struct stat before {};
    ::stat(queue.c_str(), &before);
    Request r;
    r.id = 1;
    r.type = RequestType::CollectUserMessages;
    r.account = account;
    CollectionRun run;
    auto start = Clock::now();
    std::string reply = Ask(c, r);
    run.replyMs = Milliseconds(Clock::now() - start);
    std::string result = reply.substr(std::min(reply.size(), reply.rfind('\xA7') + 1));
    run.items = result.empty() ? 0 : static_cast<std::size_t>(std::count(result.begin(), result.end(), '\xB0')) + 1;
    if (removes) {
        Request next;
        next.id = 2;
        next.type = RequestType::ServerVersion;
        (void)Ask(c, next);
        struct stat after = before;
        while (after.st_ino == before.st_ino && Milliseconds(Clock::now() - start) < 2000) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
            ::stat(queue.c_str(), &after);
        }
        if (after.st_ino != before.st_ino) run.removedMs = Milliseconds(Clock::now() - start);
    }
    run.cpuMs = static_cast<double>(CpuNanoseconds(server) - cpuBefore) / 1e6;
    return run;
}

// Another client asking for the version (207) over and over on a connection of its own, from a
// thread of its own, until Stop: the longest it waited for a reply.
class Bystander {
public:
    explicit Bystander(int port) {
        std::string error;
        if (!connection_.Open("127.0.0.1", port, 5s, &error) || !connection_.ReadMessage(5s)) return;
        thread_ = std::thread([this] {
            Request r;
            r.type = RequestType::ServerVersion;
            while (!stop_) {
                ++r.id;
                auto start = Clock::now();
                if (Ask(connection_, r).empty()) return;
                longest_ = std::max(longest_, Milliseconds(Clock::now() - start));
            }
        });
    }
    double Stop() {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return longest_;
    }
    ~Bystander() { Stop(); }

private:
    Connection connection_;
    std::atomic<bool> stop_{false};
    double longest_ = 0;
    std::thread thread_;
};

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

constexpr int kCollectionRuns = 7;

void MeasureCollection(Connection& c, const Settings& s, const std::string& folder, pid_t server, int port,
                       const std::string& queueText) {
    const std::string queue = folder + "/UserMessages.log";

    // Nothing queued for the account: the file must stay exactly as it was.
    struct stat before {};
    ::stat(queue.c_str(), &before);
    std::vector<double> times;
    std::vector<double> cpu;
    for (int i = 0; i < kCollectionRuns; ++i) {
        CollectionRun run = CollectOnce(c, server, queue, "nobody", false);
        times.push_back(run.replyMs);
        cpu.push_back(run.cpuMs);
    }
    // The same again beside another client (apart, as its requests cost the server too).
    auto bystander = std::make_unique<Bystander>(port);
    for (int i = 0; i < kCollectionRuns; ++i) (void)CollectOnce(c, server, queue, "nobody", false);
    const double nothingPause = bystander->Stop();
    SyscallCount nothing = CountSyscalls(server, folder, [&] { (void)CollectOnce(c, server, queue, "nobody", false); });
    struct stat after {};
    ::stat(queue.c_str(), &after);
    const bool untouched = before.st_ino == after.st_ino && before.st_size == after.st_size &&
                           before.st_mtim.tv_sec == after.st_mtim.tv_sec &&
                           before.st_mtim.tv_nsec == after.st_mtim.tv_nsec;
    std::printf("request 208 on %d records, nothing for the account: median %.2f ms to the reply, best %.2f ms, "
                "server CPU median %.2f ms (%d runs), file untouched (same inode, size and mtime): %s; another "
                "client's longest wait meanwhile %.2f ms; per collection %s (target < 10 ms)\n",
                s.records, Median(times), *std::min_element(times.begin(), times.end()), Median(cpu), kCollectionRuns,
                untouched ? "yes" : "NO", nothingPause, Describe(nothing).c_str());

    // The account's items: each run starts from the full queue again.
    const std::string account = AccountName(std::min(7, s.queueAccounts - 1));
    std::vector<double> removed;
    times.clear();
    cpu.clear();
    CollectionRun last;
    for (int i = 0; i < kCollectionRuns; ++i) {
        WriteAll(queue, queueText);
        last = CollectOnce(c, server, queue, account, true);
        times.push_back(last.replyMs);
        removed.push_back(last.removedMs);
        cpu.push_back(last.cpuMs);
    }
    bystander = std::make_unique<Bystander>(port);
    for (int i = 0; i < kCollectionRuns; ++i) {
        WriteAll(queue, queueText);
        (void)CollectOnce(c, server, queue, account, true);
    }
    const double takingPause = bystander->Stop();
    WriteAll(queue, queueText);
    SyscallCount taking = CountSyscalls(server, folder, [&] { (void)CollectOnce(c, server, queue, account, true); });
    std::string left = ReadAll(queue);
    const auto kept = std::count(left.begin(), left.end(), '\r');
    std::string temporaries;
    for (const auto& e : fs::directory_iterator(folder)) {
        std::string name = e.path().filename().string();
        if (name.find(".tmp") != std::string::npos) temporaries.append(" ").append(name);
    }
    std::printf("request 208 on %d records, %zu items for the account: median %.2f ms to the reply, best %.2f ms, "
                "median %.2f ms until the records were removed, server CPU median %.2f ms with the removal (%d runs), "
                "%ld records kept%s; another client's longest wait meanwhile %.2f ms; per collection %s "
                "(target < 30 ms)\n",
                s.records, last.items, Median(times), *std::min_element(times.begin(), times.end()), Median(removed),
                Median(cpu), kCollectionRuns, static_cast<long>(kept),
                temporaries.empty() ? "" : (", leftover temporaries:" + temporaries).c_str(), takingPause,
                Describe(taking).c_str());
}

void MeasureRate(Connection& c, int type, const Settings& s) {
    Request r;
    r.type = type;
    r.account = AccountName(0);
    r.argument2 = type == 201 ? std::string("FontSize\xB0General\xB0") + "10" : std::string("FontSize\xB0General\xB0") + "14";
    long long count = 0;
    auto end = Clock::now() + std::chrono::seconds(s.seconds);
    auto start = Clock::now();
    while (Clock::now() < end) {
        r.id = ++count;
        if (Ask(c, r).empty()) {
            std::printf("request %d: no answer after %lld requests\n", type, count);
            return;
        }
    }
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::printf("request %d on one preference file: %.0f requests per second%s\n", type, count / seconds,
                type == 201 ? " (target >= 10000)" : "");
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <VServerService> [accounts] [records] [queueAccounts] [seconds]\n", argv[0]);
        return 2;
    }
    Settings s;
    s.server = argv[1];
    if (argc > 2) s.accounts = std::atoi(argv[2]);
    if (argc > 3) s.records = std::atoi(argv[3]);
    if (argc > 4) s.queueAccounts = std::atoi(argv[4]);
    if (argc > 5) s.seconds = std::atoi(argv[5]);

    BenchServer server(s.server);
    const std::string queueText = Install(s, server);
    if (!server.Start()) return 1;
    const std::string folder = server.folder();
    const int port = server.port();
    Connection c;
    std::string error;
    if (!c.Open("127.0.0.1", port, 5s, &error) || !c.ReadMessage(5s)) {
        std::fprintf(stderr, "cannot connect: %s\n", error.c_str());
        return 1;
    }
    MeasureListing(c, s);
    MeasureCollection(c, s, folder, server.pid(), port, queueText);
    MeasureRate(c, RequestType::ReadPreferences, s);
    MeasureRate(c, RequestType::WritePreferences, s);
    return 0;
}
