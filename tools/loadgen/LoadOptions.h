#pragma once
// The load generator's command line: where to connect, how many connections, how long, what
// each connection does (a fixed request and reply, idle, or logon cycles) and the silent
// sessions that keep liveness checks waiting in the server meanwhile; or the morning scenario,
// its prepared folder and the server it may start.

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
    // Each connection logs on as <accountPrefix><i>, reports a client event and logs off,
    // then connects again; a cycle counts when the server has closed the connection.
    bool logonCycles = false;
    std::string accountPrefix = "user";
    // Pairs of connections that keep this many liveness checks waiting in the server: one logs
    // on as <silentPrefix><k> and never answers its check, the other logs on as the same
    // account and waits. When the server ends the silent one, the two swap parts.
    int silentWaits = 0;
    std::string silentPrefix = "silent";
    int serverPid = 0;              // report this process's CPU time over the window (0: no)

    // The morning scenario: a school's workstations, each with an account of its own, connect
    // over the ramp and run a client's start-up sequence while a console queues messages and
    // lists sessions. Its accounts and files live in folder: master/Users holds the accounts,
    // the folder itself the registry file and the queue files, as beside an installed server.
    bool morning = false;
    bool prepare = false;           // only create the accounts and files in folder
    std::string folder;
    std::string serverBinary;       // install and start this server in folder for the run
    int workstations = 1000;
    double ramp = 10.0;
    // "CTL[,ACK]": fifos that hear "enable" when the measured window opens and "disable" when it
    // closes, as perf's --control option reads them (perf then counts the window alone).
    std::string windowControl;
};

inline constexpr int kMaxConnections = 10000;
inline constexpr int kMaxSilentWaits = 1000;
// A tenth of the accounts also hold an older session, and the console needs one more.
inline constexpr int kMaxWorkstations = 9000;

enum class ParseStatus { Run, Help, Invalid };

// Reads argv into options; on Invalid, *error names the argument at fault.
ParseStatus ParseLoadOptions(int argc, char** argv, LoadOptions& options, std::string* error);

std::string LoadUsage();

} // namespace vserver::loadgen
