// The least a single-threaded epoll server can do for a logon cycle (connect, greeting, logon,
// client event, logoff, close) with usage statistics on: it greets, answers the logon and the
// event, closes on the logoff, and appends one statistics line per step to EventLog.log in the
// users folder the way every record file is appended (open, lock, size, write over the final
// NUL, close). The logon also looks the account's folder up. No session table, no checks.
//
//   cyclesrv PORT USERSFOLDER
//
// Listens on 127.0.0.1. It is the measuring stick for the logon cycle benchmark.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <unordered_map>
#include <vector>

#include "LoopbackListener.h"

namespace {

constexpr char kField = '\xA7';
constexpr char kEnd = '\xBB';
const std::string kGreeting = "1\xA7" "0\xA7\xBB\n";

struct Client {
    std::string in;
    std::string out;
    bool wantsOut = false;
    bool closing = false;
};

std::vector<std::string> Fields(const std::string& message) {
    std::vector<std::string> fields(1);
    for (char c : message) {
        if (c == kField) {
            fields.emplace_back();
        } else {
            fields.back().push_back(c);
        }
    }
    return fields;
}

void AppendLine(const std::string& path, const std::string& line) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return;
    struct stat st {};
    if (::flock(fd, LOCK_EX) == 0 && ::fstat(fd, &st) == 0) {
        std::string record = line;
        record.push_back('\0');
        off_t at = st.st_size > 0 ? st.st_size - 1 : 0;
        if (::pwrite(fd, record.data(), record.size(), at) < 0) std::perror("pwrite");
    }
    ::close(fd);
}

std::string StatisticsLine(const std::vector<std::string>& f, const std::string& event) {
    std::time_t now = std::time(nullptr);
    std::tm local {};
    ::localtime_r(&now, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%m/%d/%y\t%H:%M:%S", &local);
    auto field = [&f](std::size_t i) { return i < f.size() ? f[i] : std::string(); };
    return std::string(stamp) + "\t" + field(5) + "\t" + field(4) + "\t" + event + "\t" +
           (event == "101" || event == "103" ? std::string() : field(7)) + "\r\n";
}

// Serves one message; false when the connection is to close.
bool Serve(Client& client, const std::string& message, const std::string& users) {
    std::vector<std::string> f = Fields(message);
    if (f.size() < 6) return true;
    const std::string type = f[3];
    const std::string logPath = users + "/EventLog.log";
    if (type == "101") {
        struct stat st {};
        (void)::stat((users + "/" + f[5]).c_str(), &st);
        AppendLine(logPath, StatisticsLine(f, "101"));
    } else if (type == "3") {
        AppendLine(logPath, StatisticsLine(f, f.size() > 6 ? f[6] : ""));
    } else if (type == "103") {
        AppendLine(logPath, StatisticsLine(f, "103"));
        return false;
    }
    client.out += "1";
    client.out += kField;
    client.out += f[0];
    client.out += kEnd;
    client.out += '\n';
    return true;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s PORT USERSFOLDER\n", argv[0]);
        return 2;
    }
    const std::string users = argv[2];
    int poll = -1;
    const int listener = bench::ListenOnLoopback(std::atoi(argv[1]), poll);
    if (listener < 0) return 1;

    std::unordered_map<int, Client> clients;
    static char input[16384];
    epoll_event events[1024];
    for (;;) {
        int ready = ::epoll_wait(poll, events, 1024, -1);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) return 1;
        for (int i = 0; i < ready; ++i) {
            int fd = events[i].data.fd;
            if (fd == listener) {
                bench::AcceptWaiting(poll, listener, [&](int accepted) {
                    // A fresh socket takes the greeting whole.
                    (void)!::write(accepted, kGreeting.data(), kGreeting.size());
                    clients[accepted];
                });
                continue;
            }
            Client& client = clients[fd];
            if (events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
                ssize_t got = ::read(fd, input, sizeof input);
                if (got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR)) {
                    ::close(fd);
                    clients.erase(fd);
                    continue;
                }
                for (ssize_t j = 0; j < got; ++j) {
                    if (input[j] == '\n' && client.in.empty()) continue;
                    if (input[j] != kEnd) {
                        client.in.push_back(input[j]);
                        continue;
                    }
                    if (!Serve(client, client.in, users)) client.closing = true;
                    client.in.clear();
                }
            }
            while (!client.out.empty()) {
                ssize_t sent = ::write(fd, client.out.data(), client.out.size());
                if (sent > 0) {
                    client.out.erase(0, static_cast<std::size_t>(sent));
                    continue;
                }
                if (sent < 0 && errno == EINTR) continue;
                break;
            }
            if (client.closing) {
                ::close(fd);
                clients.erase(fd);
                continue;
            }
            bool wants = !client.out.empty();
            if (wants != client.wantsOut) {
                epoll_event changed{};
                changed.events = EPOLLIN | (wants ? EPOLLOUT : 0u);
                changed.data.fd = fd;
                ::epoll_ctl(poll, EPOLL_CTL_MOD, fd, &changed);
                client.wantsOut = wants;
            }
        }
    }
}
