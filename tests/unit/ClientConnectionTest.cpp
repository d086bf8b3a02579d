// The console's connection against a listener made with the server's own socket calls, so the
// same test runs on every system the console is built for.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "client/ProtocolClient.h"
#include "platform/Socket.h"

namespace vserver::client {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

platform::NetAddress Loopback() { return *platform::ParseNetAddress("127.0.0.1"); }

// The server's end of one connection. Its socket does not block, so each step tries again a
// bounded number of times while the other end catches up.
class ServerEnd {
public:
    ServerEnd() {
        EXPECT_EQ(platform::StartSocketSupport(), platform::SocketSupport::Ready);
        EXPECT_TRUE(platform::ListenTcpOn(Loopback(), 0, 4, listener_));
        port_ = platform::LocalPort(listener_);
    }
    ~ServerEnd() {
        platform::CloseHandle(accepted_);
        platform::CloseHandle(listener_);
    }
    int port() const { return port_; }

    bool Accept() {
        for (int attempt = 0; attempt < 10000; ++attempt) {
            if (platform::AcceptTcp(listener_, accepted_).status == platform::IoResult::Status::Done) return true;
            std::this_thread::sleep_for(milliseconds(1));
        }
        return false;
    }
    void Send(std::string_view bytes) {
        while (!bytes.empty()) {
            platform::IoResult sent = platform::Send(accepted_, bytes.data(), bytes.size());
            ASSERT_NE(sent.status, platform::IoResult::Status::Failed);
            ASSERT_NE(sent.status, platform::IoResult::Status::PeerClosed);
            bytes.remove_prefix(sent.count);
            if (sent.status == platform::IoResult::Status::WouldBlock) std::this_thread::sleep_for(milliseconds(1));
        }
    }
    // Reads until want bytes have come (or the bound of attempts is spent).
    std::string Receive(std::size_t want) {
        std::string got;
        char buffer[4096];
        for (int attempt = 0; attempt < 10000 && got.size() < want; ++attempt) {
            platform::IoResult read = platform::Receive(accepted_, buffer, sizeof buffer);
            if (read.status == platform::IoResult::Status::Done) {
                got.append(buffer, read.count);
            } else if (read.status == platform::IoResult::Status::WouldBlock) {
                std::this_thread::sleep_for(milliseconds(1));
            } else {
                break;
            }
        }
        return got;
    }
    void CloseConnection() {
        platform::CloseHandle(accepted_);
        accepted_ = platform::kInvalidHandle;
    }
    void CloseListener() {
        platform::CloseHandle(listener_);
        listener_ = platform::kInvalidHandle;
    }

private:
    platform::IoHandle listener_ = platform::kInvalidHandle;
    platform::IoHandle accepted_ = platform::kInvalidHandle;
    int port_ = 0;
};

TEST(ClientConnection, CarriesWholeMessagesBothWaysAndSeesThePeerClose) {
    ServerEnd server;
    Connection connection;
    std::string error;
    ASSERT_TRUE(connection.Open("127.0.0.1", server.port(), seconds(10), &error)) << error;
    ASSERT_TRUE(server.Accept());

    // A message cut in two by the network is read as one.
    server.Send("1\xA7");
    server.Send("0\xA7\xBB\n");
    EXPECT_EQ(connection.ReadMessage(seconds(10)), "1\xA7" "0\xA7");

    Request request;
    request.id = 7;
    request.type = 207;
    const std::string bytes = EncodeRequest(request);
    ASSERT_TRUE(connection.SendRaw(bytes));
    EXPECT_EQ(server.Receive(bytes.size()), bytes);

    // Nothing waits now; then two messages in one segment come out one at a time.
    EXPECT_TRUE(connection.ExpectSilence(milliseconds(50)));
    server.Send("2\xA7" "7\xBB\n" "3\xA7" "7\xBB\n");
    EXPECT_EQ(connection.ReadMessage(seconds(10)), "2\xA7" "7");
    EXPECT_FALSE(connection.ExpectSilence(milliseconds(50)));
    EXPECT_EQ(connection.ReadMessage(seconds(10)), "3\xA7" "7");

    server.CloseConnection();
    EXPECT_EQ(connection.ReadMessage(seconds(10)), std::nullopt);
    EXPECT_TRUE(connection.closed());
    EXPECT_TRUE(connection.is_open());
    connection.Close();
    EXPECT_FALSE(connection.is_open());
}

TEST(ClientConnection, APortNobodyListensOnFailsWithOneLineNamingIt) {
    ServerEnd server;
    const int port = server.port();
    server.CloseListener();
    Connection connection;
    std::string error;
    EXPECT_FALSE(connection.Open("127.0.0.1", port, seconds(10), &error));
    EXPECT_FALSE(connection.is_open());
    const std::string prefix = "cannot connect to 127.0.0.1:" + std::to_string(port) + ": ";
    EXPECT_EQ(error.substr(0, prefix.size()), prefix);
    EXPECT_GT(error.size(), prefix.size());
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_EQ(error.find('\r'), std::string::npos);
}

TEST(ClientConnection, ThisMachineHasAName) { EXPECT_FALSE(LocalHostName().empty()); }

} // namespace
} // namespace vserver::client
