#pragma once
// A server the load generator starts for a run: the given executable copied into an installation
// folder that already holds its registry file, started there with nothing from the caller's
// environment that would point it elsewhere, and asked to stop at the end.

#include <string>

namespace vserver::loadgen {

class LaunchedServer {
public:
    LaunchedServer() = default;
    ~LaunchedServer() { Stop(); }
    LaunchedServer(const LaunchedServer&) = delete;
    LaunchedServer& operator=(const LaunchedServer&) = delete;

    // Copies binary into folder (unless it is there already), starts it and waits up to 20 s
    // for the service-log line that names its port. False with *error (and the end of the
    // service log) when it does not come up.
    bool Start(const std::string& binary, const std::string& folder, std::string* error);
    // Asks the server to stop (SIGTERM) and kills it when it has not within 10 s. False when it
    // had to be killed or did not end with status 0.
    bool Stop();

    int pid() const { return pid_; }
    int port() const { return port_; }

private:
    int pid_ = -1;
    int port_ = 0;
};

} // namespace vserver::loadgen
