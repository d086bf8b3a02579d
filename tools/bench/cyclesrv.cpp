// The least a single-threaded epoll server can do for a logon cycle (connect, greeting, logon,
// client event, logoff, close) with usage statistics on: it greets, answers the logon and the
// event, closes on the logoff, and appends one statistics line per step to EventLog.log in the
// users folder the way every record file is appended (open, lock, size, write over the final
// NUL, close). The logon also looks the account's folder up. No session table, no checks.
//
//   cyclesrv PORT USERSFOLDER
//
// Listens on 127.0.0.1. It is the measuring stick for the logon cycle benchmark.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "ReferenceLoop.h"

namespace {

constexpr char kField = '\xA7';
constexpr char kEnd = '\xBB';
const std::string kGreeting = "1\xA7" "0\xA7\xBB\n";

struct Client : bench::Connection {
    std::string in;
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

    return bench::ServeForever<Client>(
        poll, listener,
        [](int accepted, Client&) {
            // A fresh socket takes the greeting whole.
            (void)!::write(accepted, kGreeting.data(), kGreeting.size());
        },
        [&users](Client& client, const char* input, std::size_t count) {
            bench::ForEachMessage(client.in, input, count, [&](const std::string& message) {
                if (!Serve(client, message, users)) client.closing = true;
            });
        });
}
