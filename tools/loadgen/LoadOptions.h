#pragma once
// The load generator's command line: where to connect, how many connections, how long, and
// the fixed greeting, request and reply bytes each connection exchanges.

#include <string>

namespace vserver::loadgen {

struct LoadOptions {
    std::string host = "127.0.0.1";
    int port = 1006;
    int connections = 50;
    double seconds = 5.0;
    double warmup = 1.0;
    double connectTimeout = 30.0;   // for opening every connection, retries included
    // Connects in flight at once. The server listens with a backlog of 5: more connects than
    // that at once overflow it, and the dropped ones only come back after a second-long SYN
    // retransmission.
    int connectBatch = 4;
    bool idle = false;              // hold the connections without requests
    std::string greeting;           // bytes every connection reads first (may be empty)
    std::string request;            // bytes of one request
    std::string reply;              // bytes of its one expected reply
};

inline constexpr int kMaxConnections = 10000;

enum class ParseStatus { Run, Help, Invalid };

// Reads argv into options; on Invalid, *error names the argument at fault.
ParseStatus ParseLoadOptions(int argc, char** argv, LoadOptions& options, std::string* error);

std::string LoadUsage();

} // namespace vserver::loadgen
