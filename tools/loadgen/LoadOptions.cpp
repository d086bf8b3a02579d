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
           "Exit status: 0 without errors, 1 when replies were wrong or connections were lost,\n"
           "2 on usage errors, 3 when the connections cannot be opened or the waits set up.\n";
}

ParseStatus ParseLoadOptions(int argc, char** argv, LoadOptions& options, std::string* error) {
    SetVersionExchange(options);
    bool customRequest = false, customReply = false, customGreeting = false;
    for (int i = 1; i < argc; ++i) {
        std::string_view name = argv[i];
        if (name == "--help" || name == "-h") return ParseStatus::Help;
        if (name == "--idle" || name == "--logon-cycles") {
            (name == "--idle" ? options.idle : options.logonCycles) = true;
            continue;
        }
        if (i + 1 >= argc) {
            *error = "missing value after " + std::string(name);
            return ParseStatus::Invalid;
        }
        std::string_view value = argv[++i];
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
            std::optional<std::string> bytes = client::ParseHex(value);
            // Only the greeting may be empty: a server that greets with nothing.
            ok = bytes.has_value() && (name == "--greeting-hex" || !bytes->empty());
            if (ok && name == "--request-hex") {
                options.request = *bytes;
                customRequest = true;
            } else if (ok && name == "--reply-hex") {
                options.reply = *bytes;
                customReply = true;
            } else if (ok) {
                options.greeting = *bytes;
                customGreeting = true;
            }
        } else {
            *error = "unknown option " + std::string(name);
            return ParseStatus::Invalid;
        }
        if (!ok) {
            *error = "invalid value for " + std::string(name) + ": " + std::string(value);
            return ParseStatus::Invalid;
        }
    }
    if (customRequest != customReply) {
        *error = "--request-hex and --reply-hex go together";
        return ParseStatus::Invalid;
    }
    if (static_cast<int>(options.idle) + static_cast<int>(options.logonCycles) + static_cast<int>(customRequest) > 1) {
        *error = "--idle, --logon-cycles and --request-hex exclude each other";
        return ParseStatus::Invalid;
    }
    if (customRequest && options.silentWaits > 0) {
        *error = "--silent-waits drives the server's own sessions, not a custom exchange";
        return ParseStatus::Invalid;
    }
    // user1<0> and user<10> would be one account, and a cycle would then log off a silent one.
    std::string_view cycling = options.accountPrefix, silent = options.silentPrefix;
    if (options.logonCycles && options.silentWaits > 0 && (cycling.starts_with(silent) || silent.starts_with(cycling))) {
        *error = "--account-prefix and --silent-prefix may not start with one another";
        return ParseStatus::Invalid;
    }
    if (customRequest && !customGreeting) options.greeting.clear();
    return ParseStatus::Run;
}

} // namespace vserver::loadgen
