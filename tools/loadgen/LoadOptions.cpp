#include "loadgen/LoadOptions.h"

#include <cstdlib>
#include <limits>
#include <optional>
#include <string_view>

#include "client/ProtocolClient.h"

namespace vserver::loadgen {

namespace {

bool ReadInt(std::string_view text, int low, int high, int& out) {
    std::string copy(text);
    char* end = nullptr;
    long value = std::strtol(copy.c_str(), &end, 10);
    if (copy.empty() || *end != '\0' || value < low || value > high) return false;
    out = static_cast<int>(value);
    return true;
}

bool ReadSeconds(std::string_view text, double low, double& out) {
    std::string copy(text);
    char* end = nullptr;
    double value = std::strtod(copy.c_str(), &end);
    if (copy.empty() || *end != '\0' || !(value >= low) || value > 86400.0) return false;
    out = value;
    return true;
}

// The server's own exchange: request 207 (server version) with request id 1 and its reply.
void SetVersionExchange(LoadOptions& options) {
    options.greeting = std::string(client::kGreeting);
    options.request = client::EncodeMessage({"1", "", "", "207"});
    options.reply = client::EncodeMessage({"1", "1", "207", "9.0"});
}

// An account name goes into a request field as it is, so it may not hold a separator.
bool IsAccountPrefix(std::string_view text) {
    return !text.empty() && !client::FirstReservedByte(text) && text.find('\n') == std::string_view::npos;
}

} // namespace

std::string LoadUsage() {
    return "usage: vserver-load [--host 127.0.0.1] [--port P] [--connections N] [--seconds S]\n"
           "                    [--warmup W] [--connect-timeout S] [--connect-batch B]\n"
           "                    [--idle | --logon-cycles [--account-prefix NAME] |\n"
           "                     --request-hex HEX --reply-hex HEX [--greeting-hex HEX]]\n"
           "                    [--silent-waits K [--silent-prefix NAME]] [--server-pid PID]\n"
           "       vserver-load --scenario morning --prepare [--folder DIR] [--workstations N]\n"
           "                    [--account-prefix NAME]\n"
           "       vserver-load --scenario morning --folder DIR [--workstations N] [--ramp T]\n"
           "                    [--account-prefix NAME] [--port P --server-pid PID | --server PATH]\n"
           "                    [--window-control CTL[,ACK]]\n"
           "\n"
           "Opens N connections (1 to 10000) to a server on the loopback interface, reads each\n"
           "greeting, then keeps exactly one request in flight on every connection for S seconds\n"
           "after W seconds of warm-up, checks every reply byte for byte, and prints one summary\n"
           "line: requests per second and p50/p99/p99.9 latency of the replies completed in the\n"
           "measured window. By default the request is the server-version request (type 207,\n"
           "request id 1). With --request-hex and --reply-hex any server with a fixed request and\n"
           "reply can be driven for comparison; --greeting-hex gives the bytes it greets with\n"
           "(empty for none; default none when --request-hex is given).\n"
           "\n"
           "  --idle             open N connections, read the greetings, then hold them idle for S\n"
           "                     seconds.\n"
           "  --logon-cycles     connection i repeats a cycle: connect, read the greeting, log on as\n"
           "                     NAME<i> (default user<i>), report a client event, log off and see\n"
           "                     the server close the connection. The summary gives cycles per\n"
           "                     second and the latency of a cycle from its connect to the close.\n"
           "                     Every account needs its folder in the server's Users folder.\n"
           "  --silent-waits K   before the window, 2K more connections make K liveness checks\n"
           "                     wait in the server: one of each pair logs on as NAME<k> (default\n"
           "                     silent<k>) and never answers its check, the other logs on as the\n"
           "                     same account and waits; when the server ends the silent session\n"
           "                     the pair swaps parts, so K checks keep waiting. The summary adds\n"
           "                     the mean number of waiting checks over the window.\n"
           "  --server-pid PID   add the CPU time process PID used during the window.\n"
           "  --connect-batch B  connects in flight at once (default 4, below the server's listen\n"
           "                     backlog of 5); refused connects are retried.\n"
           "\n"
           "The morning scenario: N workstations (default 1000), each with an account NAME<i> of its\n"
           "own (default user<i>), connect over a ramp of T seconds (default 10) and run a client's\n"
           "start-up: logon, five preference reads, both queue collections, a preference write and\n"
           "three client events; then they stay connected. A tenth of the accounts already hold a\n"
           "session elsewhere, which answers the liveness check. A console queues a message for a\n"
           "random account every 10 ms of the ramp and lists the sessions every second. Every reply\n"
           "is checked byte for byte against the prepared files; at the end every workstation\n"
           "collects once more, and each acknowledged message must have arrived exactly once.\n"
           "  --prepare          create DIR (or a new folder, named on output) with master/Users,\n"
           "                     the accounts and their preference files, queued items and, when\n"
           "                     missing, a registry file for a server installed in DIR.\n"
           "  --server PATH      copy the server into DIR, start it there for the run, stop it after.\n"
           "  --window-control   fifos told \"enable\" and \"disable\" around the measured window (the\n"
           "                     protocol of perf stat --control fifo:CTL,ACK).\n"
           "\n"
           "Exit status: 0 without errors, 1 when replies were wrong or connections were lost,\n"
           "2 on usage errors, 3 when the connections cannot be opened or the waits set up.\n";
}

namespace {

// Which of the options that exclude or need one another were given.
struct Given {
    bool request = false, reply = false, greeting = false;
    bool scenarioOnly = false;      // an option that only the morning scenario reads
};

bool ReadHexOption(std::string_view name, std::string_view value, LoadOptions& options, Given& given) {
    std::optional<std::string> bytes = client::ParseHex(value);
    // Only the greeting may be empty: a server that greets with nothing.
    if (!bytes.has_value() || (name != "--greeting-hex" && bytes->empty())) return false;
    if (name == "--request-hex") {
        options.request = *bytes;
        given.request = true;
    } else if (name == "--reply-hex") {
        options.reply = *bytes;
        given.reply = true;
    } else {
        options.greeting = *bytes;
        given.greeting = true;
    }
    return true;
}

bool ReadScenarioOption(std::string_view name, std::string_view value, LoadOptions& options, bool& ok) {
    if (name == "--scenario") {
        ok = value == "morning";
        options.morning = ok;
    } else if (name == "--folder") {
        ok = !value.empty();
        options.folder = value;
    } else if (name == "--server") {
        ok = !value.empty();
        options.serverBinary = value;
    } else if (name == "--workstations") {
        ok = ReadInt(value, 1, kMaxWorkstations, options.workstations);
    } else if (name == "--ramp") {
        ok = ReadSeconds(value, 0.0, options.ramp);
    } else if (name == "--window-control") {
        ok = !value.empty();
        options.windowControl = value;
    } else {
        return false;
    }
    return true;
}

// Reads the value of option name; false in known when the name is no option.
bool ReadOption(std::string_view name, std::string_view value, LoadOptions& options, Given& given, bool& known) {
    known = true;
    bool ok = true;
    if (name == "--host") {
        options.host = value;
    } else if (name == "--port") {
        ok = ReadInt(value, 1, 65535, options.port);
    } else if (name == "--connections") {
        ok = ReadInt(value, 1, kMaxConnections, options.connections);
    } else if (name == "--seconds") {
        ok = ReadSeconds(value, 0.001, options.seconds);
    } else if (name == "--warmup") {
        ok = ReadSeconds(value, 0.0, options.warmup);
    } else if (name == "--connect-batch") {
        ok = ReadInt(value, 1, kMaxConnections, options.connectBatch);
    } else if (name == "--connect-timeout") {
        ok = ReadSeconds(value, 0.1, options.connectTimeout);
    } else if (name == "--account-prefix" || name == "--silent-prefix") {
        ok = IsAccountPrefix(value);
        (name == "--account-prefix" ? options.accountPrefix : options.silentPrefix) = value;
    } else if (name == "--silent-waits") {
        ok = ReadInt(value, 0, kMaxSilentWaits, options.silentWaits);
    } else if (name == "--server-pid") {
        ok = ReadInt(value, 1, std::numeric_limits<int>::max(), options.serverPid);
    } else if (name == "--request-hex" || name == "--reply-hex" || name == "--greeting-hex") {
        ok = ReadHexOption(name, value, options, given);
    } else if (ReadScenarioOption(name, value, options, ok)) {
        given.scenarioOnly = given.scenarioOnly || name != "--scenario";
    } else {
        known = false;
    }
    return ok;
}

// The combinations that make no sense; empty when there is none.
std::string CheckCombination(const LoadOptions& options, const Given& given) {
    if (given.request != given.reply) return "--request-hex and --reply-hex go together";
    int modes = static_cast<int>(options.idle) + static_cast<int>(options.logonCycles) + static_cast<int>(given.request) +
                static_cast<int>(options.morning);
    if (modes > 1) return "--idle, --logon-cycles, --request-hex and --scenario exclude each other";
    if (given.request && options.silentWaits > 0) return "--silent-waits drives the server's own sessions, not a custom exchange";
    if (options.morning && options.silentWaits > 0) return "--silent-waits does not go with --scenario";
    if ((given.scenarioOnly || options.prepare) && !options.morning) return "that option belongs to --scenario morning";
    if (options.morning && !options.prepare && options.folder.empty()) return "--scenario morning needs the --folder it was prepared in";
    // user1<0> and user<10> would be one account, and a cycle would then log off a silent one.
    std::string_view cycling = options.accountPrefix, silent = options.silentPrefix;
    if (options.logonCycles && options.silentWaits > 0 && (cycling.starts_with(silent) || silent.starts_with(cycling))) {
        return "--account-prefix and --silent-prefix may not start with one another";
    }
    return {};
}

} // namespace

ParseStatus ParseLoadOptions(int argc, char** argv, LoadOptions& options, std::string* error) {
    SetVersionExchange(options);
    Given given;
    for (int i = 1; i < argc; ++i) {
        std::string_view name = argv[i];
        if (name == "--help" || name == "-h") return ParseStatus::Help;
        if (name == "--idle" || name == "--logon-cycles" || name == "--prepare") {
            (name == "--idle" ? options.idle : name == "--prepare" ? options.prepare : options.logonCycles) = true;
            continue;
        }
        if (i + 1 >= argc) {
            *error = "missing value after " + std::string(name);
            return ParseStatus::Invalid;
        }
        std::string_view value = argv[++i];
        bool known = true;
        bool ok = ReadOption(name, value, options, given, known);
        if (!known) {
            *error = "unknown option " + std::string(name);
            return ParseStatus::Invalid;
        }
        if (!ok) {
            *error = "invalid value for " + std::string(name) + ": " + std::string(value);
            return ParseStatus::Invalid;
        }
    }
    *error = CheckCombination(options, given);
    if (!error->empty()) return ParseStatus::Invalid;
    if (given.request && !given.greeting) options.greeting.clear();
    return ParseStatus::Run;
}

} // namespace vserver::loadgen
