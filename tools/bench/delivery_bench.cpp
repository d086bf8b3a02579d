// Measures queued-item delivery through the real server under concurrency: clients collect
// their own account's messages (208) in a loop while consoles queue messages (810) for them,
// and another client asks for the version (207) throughout. At the end every collector
// collects once more and shows it read the reply; then each acknowledged item must have been
// delivered exactly once. Prints what was acknowledged, lost and delivered twice, the queueing
// rate, and the version client's latencies.
//
//   delivery_bench <path to VServerService> [collectors=30] [seconds=60] [consoles=1] [accounts=collectors]
//
// With fewer accounts than collectors, several connections collect each account, as a pupil
// logged on at two workstations does.

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "BenchServer.h"
#include "client/ProtocolClient.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using vserver::bench::BenchServer;
using vserver::client::Connection;
using vserver::client::Request;
using vserver::wire::RequestType;

struct Settings {
    std::string server;
    int collectors = 30;
    int seconds = 60;
    int consoles = 1;
    int accounts = 0;   // 0: one per collector
};

bool Open(Connection& c, int port) {
    std::string error;
    if (c.Open("127.0.0.1", port, 10s, &error) && c.ReadMessage(10s)) return true;
    std::fprintf(stderr, "cannot connect: %s\n", error.c_str());
    return false;
}

// The result of a reply: everything after its third field separator.
std::string ResultOf(const std::string& reply) { return vserver::client::ParseReply(reply).result; }

void AddPayloads(const std::string& result, std::vector<std::string>& into) {
    if (result.empty()) return;
    std::size_t start = 0;
    for (std::size_t cut; (cut = result.find('\xB0', start)) != std::string::npos; start = cut + 1) {
        into.push_back(result.substr(start, cut - start));
    }
    into.push_back(result.substr(start));
}

std::string Ask(Connection& c, const Request& r) {
    if (!c.Send(r)) return {};
    return c.ReadMessage(60s).value_or("");
}

// Collects account's items until stop; then once more, and shows it read that reply.
void Collector(int port, const std::string& account, const std::atomic<bool>& stop, std::vector<std::string>& got) {
    Connection c;
    if (!Open(c, port)) return;
    Request r;
    r.type = RequestType::CollectUserMessages;
    r.account = account;
    for (bool last = false; !last;) {
        last = stop.load();
        ++r.id;
        AddPayloads(ResultOf(Ask(c, r)), got);
    }
    Request version;
    version.id = ++r.id;
    version.type = RequestType::ServerVersion;
    (void)Ask(c, version);
}

// Queues numbered items for random collectors' accounts until stop; keeps those acknowledged.
void Console(int port, int number, int accounts, const std::atomic<bool>& stop,
             std::map<std::string, std::vector<std::string>>& acknowledged, long long& refused) {
    Connection c;
    if (!Open(c, port)) return;
    std::mt19937 random(static_cast<unsigned>(20261209 + number));
    Request r;
    r.type = RequestType::QueueUserMessage;
    while (!stop.load()) {
        ++r.id;
        r.argument1 = "pupil" + std::to_string(random() % static_cast<unsigned>(accounts));
        r.argument2 = "console " + std::to_string(number) + " item " + std::to_string(r.id);
        if (ResultOf(Ask(c, r)) == "True") {
            acknowledged[r.argument1].push_back(r.argument2);
        } else {
            ++refused;
        }
    }
}

// Asks for the version until stop; the time each reply took, in milliseconds.
void Prober(int port, const std::atomic<bool>& stop, std::vector<double>& waits) {
    Connection c;
    if (!Open(c, port)) return;
    Request r;
    r.type = RequestType::ServerVersion;
    while (!stop.load()) {
        ++r.id;
        auto start = Clock::now();
        if (Ask(c, r).empty()) return;
        waits.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
    }
}

double Percentile(std::vector<double>& values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<std::size_t>(p * static_cast<double>(values.size())))];
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s <VServerService> [collectors] [seconds] [consoles] [accounts]\n", argv[0]);
        return 2;
    }
    Settings s;
    s.server = argv[1];
    if (argc > 2) s.collectors = std::max(1, std::atoi(argv[2]));
    if (argc > 3) s.seconds = std::max(1, std::atoi(argv[3]));
    if (argc > 4) s.consoles = std::max(1, std::atoi(argv[4]));
    if (argc > 5) s.accounts = std::max(1, std::atoi(argv[5]));
    if (s.accounts == 0 || s.accounts > s.collectors) s.accounts = s.collectors;

    BenchServer server(s.server);
    if (!server.Start()) return 1;
    const int port = server.port();

    std::atomic<bool> consolesStop{false};
    std::atomic<bool> collectorsStop{false};
    std::vector<std::vector<std::string>> delivered(static_cast<std::size_t>(s.collectors));
    std::vector<std::map<std::string, std::vector<std::string>>> acknowledged(static_cast<std::size_t>(s.consoles));
    std::vector<long long> refused(static_cast<std::size_t>(s.consoles), 0);
    std::vector<double> waits;
    std::vector<std::thread> threads;
    for (int i = 0; i < s.collectors; ++i) {
        threads.emplace_back(Collector, port, "pupil" + std::to_string(i % s.accounts), std::cref(collectorsStop),
                             std::ref(delivered[static_cast<std::size_t>(i)]));
    }
    for (int i = 0; i < s.consoles; ++i) {
        threads.emplace_back(Console, port, i, s.accounts, std::cref(consolesStop),
                             std::ref(acknowledged[static_cast<std::size_t>(i)]), std::ref(refused[static_cast<std::size_t>(i)]));
    }
    std::thread prober(Prober, port, std::cref(consolesStop), std::ref(waits));
    const auto start = Clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(s.seconds));
    consolesStop = true;
    for (std::size_t i = static_cast<std::size_t>(s.collectors); i < threads.size(); ++i) threads[i].join();
    const double queueingSeconds = std::chrono::duration<double>(Clock::now() - start).count();
    prober.join();
    // Every acknowledged item is queued now: the collectors' last round takes the rest.
    collectorsStop = true;
    for (int i = 0; i < s.collectors; ++i) threads[static_cast<std::size_t>(i)].join();

    std::map<std::string, int> times;   // deliveries of each payload
    for (const auto& got : delivered) {
        for (const std::string& payload : got) ++times[payload];
    }
    long long acked = 0;
    long long lost = 0;
    long long refusedTotal = 0;
    for (std::size_t i = 0; i < acknowledged.size(); ++i) {
        refusedTotal += refused[i];
        for (const auto& [account, payloads] : acknowledged[i]) {
            for (const std::string& payload : payloads) {
                ++acked;
                if (times.find(payload) == times.end()) ++lost;
            }
        }
    }
    long long repeated = 0;
    long long extra = 0;
    for (const auto& [payload, n] : times) {
        if (n > 1) {
            ++repeated;
            extra += n - 1;
        }
    }
    std::printf("%d collectors of %d accounts, %d console(s), %d s of queueing\n", s.collectors, s.accounts, s.consoles,
                s.seconds);
    std::printf("810 acknowledged: %lld (%.0f per second), refused: %lld\n", acked, static_cast<double>(acked) / queueingSeconds,
                refusedTotal);
    std::printf("lost (acknowledged, never delivered): %lld\n", lost);
    std::printf("delivered more than once: %lld items, %lld extra deliveries\n", repeated, extra);
    std::printf("207 while collecting: %zu replies, p50 %.2f ms, p99 %.2f ms, max %.2f ms\n", waits.size(),
                Percentile(waits, 0.50), Percentile(waits, 0.99), Percentile(waits, 1.0));
    return lost == 0 && repeated == 0 ? 0 : 1;
}
