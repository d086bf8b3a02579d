// Nothing the server acknowledged is lost: not on a full disk, not when the process is killed
// in the middle of appends, collections, account creation or preference writes, and the
// temporary files a kill leaves behind go away.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <map>
#include <random>
#include <set>

#include "QueueRequests.h"
#include "ServerHarness.h"

namespace {

using namespace vserver;
using namespace vserver::test;

const std::string kMasterPreferences = "[General]\r\nFontSize=12\r\nVoice=Default\r\n";

// Every message that arrives on c until the server is gone.
std::vector<client::Reply> DrainUntilClosed(client::Connection& c) {
    std::vector<client::Reply> replies;
    while (auto message = c.ReadMessage(10s)) replies.push_back(client::ParseReply(*message));
    return replies;
}

// Process ids as the server under test sees them: one of a process that has ended and one of a
// process that runs while the test does. The Windows server knows only Windows process ids,
// which another server's run provides: each names its own in its lock file.
class ProcessIds {
public:
    ProcessIds() {
        if (!WindowsServer()) {
            pid_t child = ::fork();
            if (child == 0) ::_exit(0);
            ::waitpid(child, nullptr, 0);
            ended_ = std::to_string(child);
            live_ = std::to_string(::getpid());
            return;
        }
        ServerProcess ended;
        if (ended.Start()) ended_ = LockedProcessId(ended);
        ended.Stop();
        if (keeper_.Start()) live_ = LockedProcessId(keeper_);
    }
    const std::string& ended() const { return ended_; }
    const std::string& live() const { return live_; }

private:
    static std::string LockedProcessId(const ServerProcess& server) {
        std::string text = ReadFile(server.installPath("VServerService.lock"));
        return text.substr(0, text.find('\n'));
    }
    ServerProcess keeper_;
    std::string ended_;
    std::string live_;
};

void KillNow(ServerProcess& server) {
    ::kill(server.pid(), SIGKILL);
    server.WaitExit();
}

TEST(FullDisk, AQueueAppendIsAllOrNothing) {
    ServerProcess server(ServerOptions{.extraRegistry = kOpenConsole, .diskSpace = 24 * 1024});
    ASSERT_TRUE(server.Start()) << server.failure();
    client::Connection c = server.Connect();
    std::vector<std::string> acknowledged;
    bool refused = false;
    for (int i = 1; i <= 2000 && !refused; ++i) {
        std::string payload = "message " + std::to_string(i) + " " + std::string(200, 'x');
        std::string reply = Exchange(c, Queue(i, "pupil", payload));
        if (reply == Completion(i, 810, "True")) {
            acknowledged.push_back(payload);
        } else {
            ASSERT_EQ(reply, Completion(i, 810, "False"));
            refused = true;
        }
    }
    ASSERT_TRUE(refused) << "the disk never filled";
    // The server survived reaching the limit and still serves.
    EXPECT_EQ(Exchange(c, client::Request{.id = 9000, .type = 207}), Completion(9000, 207, "9.0"));

    // The refused record left nothing behind: the file holds exactly the acknowledged records.
    const std::string queuePath = server.installPath("UserMessages.log");
    QueueFile queue = ReadQueue(queuePath);
    EXPECT_TRUE(queue.whole);
    EXPECT_TRUE(queue.payloads == acknowledged) << queue.payloads.size() << " records, " << acknowledged.size()
                                                << " acknowledged";

    // A collection hands out exactly those; once it freed the space, appends work again and
    // the refused payload never reaches anyone.
    std::string joined;
    for (const std::string& p : acknowledged) joined += (joined.empty() ? "" : "\xB0") + p;
    EXPECT_TRUE(Exchange(c, Collect(9001, "pupil")) == Completion(9001, 208, joined)) << "not every acknowledged item";
    EXPECT_EQ(Exchange(c, client::Request{.id = 9004, .type = 207}), Completion(9004, 207, "9.0"));
    EXPECT_TRUE(WaitUntil([&] { return !PathExists(queuePath); }));
    EXPECT_EQ(Exchange(c, Queue(9002, "pupil", "after")), Completion(9002, 810, "True"));
    EXPECT_EQ(Exchange(c, Collect(9003, "pupil")), Completion(9003, 208, "after"));
}

TEST(Collections, ACollectionRightAfterAnotherGetsNothingTwice) {
    ServerProcess server(ServerOptions{.extraRegistry = kOpenConsole});
    ASSERT_TRUE(server.Start()) << server.failure();
    client::Connection c = server.Connect();
    ASSERT_EQ(Exchange(c, Queue(1, "pupil", "one")), Completion(1, 810, "True"));
    ASSERT_EQ(Exchange(c, Queue(2, "other", "stays")), Completion(2, 810, "True"));
    ASSERT_EQ(Exchange(c, Queue(3, "pupil", "two")), Completion(3, 810, "True"));
    // The second request reaches the server after the first reply was acknowledged, so the
    // first collection's records are gone by then.
    EXPECT_EQ(Exchange(c, Collect(4, "pupil")), Completion(4, 208, "one\xB0two"));
    EXPECT_EQ(Exchange(c, Collect(5, "PUPIL")), Completion(5, 208, ""));
    EXPECT_EQ(Exchange(c, Collect(6, "other")), Completion(6, 208, "stays"));
    EXPECT_EQ(Exchange(c, Collect(7, "other")), Completion(7, 208, ""));
}

// Kills the server at a random moment while the console queues items and a client collects
// them; every item the console saw acknowledged was either delivered or is still queued.
TEST(KillDuringWork, QueuedItemsSurviveKillsDuringAppendsAndCollections) {
    std::mt19937 random(20261208);
    for (int trial = 0; trial < 12; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        ServerProcess server(ServerOptions{.extraRegistry = kOpenConsole});
        ASSERT_TRUE(server.Start()) << server.failure();
        client::Connection console = server.Connect();
        client::Connection pupil = server.Connect();
        // Records of another account make every collection rewrite the file.
        ASSERT_EQ(Exchange(console, Queue(1000, "other", "stays")), Completion(1000, 810, "True"));
        std::map<std::string, std::string> payloadOfId;
        std::set<std::string> acknowledged;
        for (int i = 1; i <= 20; ++i) {
            std::string payload = "early " + std::to_string(i);
            ASSERT_EQ(Exchange(console, Queue(i, "pupil", payload)), Completion(i, 810, "True"));
            acknowledged.insert(payload);
        }
        // Appends and collections in flight together, then the kill.
        for (int i = 100; i < 160; ++i) {
            payloadOfId[std::to_string(i)] = "late " + std::to_string(i);
            console.Send(Queue(i, "pupil", payloadOfId[std::to_string(i)]));
            if (i % 3 == 0) pupil.Send(Collect(i, "pupil"));
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 15000));
        KillNow(server);

        for (const client::Reply& reply : DrainUntilClosed(console)) {
            if (reply.type == "810" && reply.result == "True") acknowledged.insert(payloadOfId[reply.id]);
        }
        std::multiset<std::string> delivered;
        for (const client::Reply& reply : DrainUntilClosed(pupil)) {
            if (reply.type != "208") continue;
            for (const std::string& p : Split(reply.result, '\xB0')) delivered.insert(p);
        }
        QueueFile queue = ReadQueue(server.installPath("UserMessages.log"));
        EXPECT_TRUE(queue.whole);
        std::set<std::string> kept(queue.payloads.begin(), queue.payloads.end());
        EXPECT_TRUE(kept.contains("stays"));
        for (const std::string& payload : acknowledged) {
            EXPECT_TRUE(delivered.contains(payload) || kept.contains(payload)) << payload << " was lost";
        }
        // A reply the kill cut off may leave its items queued as well: at least once, never
        // invented.
        for (const std::string& payload : delivered) {
            EXPECT_TRUE(acknowledged.contains(payload) || payload.rfind("late ", 0) == 0) << payload;
        }
    }
}

// Kills the server while accounts are created and preferences written: every account holds
// its whole preference file (a copy of the master or a complete write), and every acknowledged
// value is on disk.
TEST(KillDuringWork, AccountsAndPreferencesSurviveKills) {
    std::mt19937 random(8122026);
    for (int trial = 0; trial < 5; ++trial) {
        SCOPED_TRACE("trial " + std::to_string(trial));
        ServerProcess server(ServerOptions{.extraRegistry = kOpenConsole});
        ASSERT_TRUE(server.Start()) << server.failure();
        // A master file large enough that copying it takes many writes.
        const std::string master = kMasterPreferences + "Notes=" + std::string(512 * 1024, 'n') + "\r\n";
        WriteFile(server.usersFolder() + "/VantorelSettings.vts", master);
        client::Connection console = server.Connect();
        client::Connection writer = server.Connect();
        ASSERT_EQ(Exchange(console, client::Request{.id = 1, .type = 807, .argument1 = "keeper"}),
                  Completion(1, 807, "True"));
        for (int i = 10; i < 60; ++i) {
            console.Send(client::Request{.id = i, .type = 807, .argument1 = "pupil" + std::to_string(i)});
            writer.Send(client::Request{.id = i, .type = 203, .account = "keeper",
                                        .argument2 = std::string("Counter\xB0General\xB0") + std::to_string(i)});
        }
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 20000));
        KillNow(server);

        std::set<std::string> created;
        for (const client::Reply& reply : DrainUntilClosed(console)) {
            if (reply.type == "807" && reply.result == "True") created.insert("pupil" + reply.id);
        }
        int lastWritten = 0;
        for (const client::Reply& reply : DrainUntilClosed(writer)) lastWritten = std::max(lastWritten, std::stoi(reply.id));

        for (const std::string& account : Names(server.usersFolder())) {
            std::string home = server.usersFolder() + "/" + account;
            // Hidden folders stand in for accounts a kill caught half made; the next start clears them.
            if (account == "VantorelSettings.vts" || account == "keeper" || account.front() == '.') continue;
            const std::string file = "PUPIL" + account.substr(5) + "VantorelSettings.vts";
            ASSERT_EQ(Names(home), std::vector<std::string>{file}) << account << " is half made";
            EXPECT_TRUE(ReadFile(home + "/" + file) == master) << account << "/" << file << " is not whole";
        }
        for (const std::string& account : created) EXPECT_TRUE(PathExists(server.usersFolder() + "/" + account));

        std::string keeper = ReadFile(server.usersFolder() + "/keeper/KEEPERVantorelSettings.vts");
        std::size_t at = keeper.find("Counter=");
        if (lastWritten == 0) continue;
        ASSERT_NE(at, std::string::npos) << keeper;
        int stored = std::stoi(keeper.substr(at + 8));
        EXPECT_GE(stored, lastWritten) << keeper;
        EXPECT_EQ(keeper.rfind("[General]\r\nFontSize=12\r\nVoice=Default\r\n", 0), 0u) << keeper;
    }
}

TEST(Temporaries, StaleOnesGoWhenTheirFileIsWrittenAndLiveOnesStay) {
    ServerProcess server(ServerOptions{.extraRegistry = kOpenConsole});
    const ProcessIds ids;
    ASSERT_FALSE(ids.ended().empty());
    ASSERT_FALSE(ids.live().empty());
    const std::string& ended = ids.ended();
    const std::string& live = ids.live();
    const std::vector<std::string> staleOwn = {".UserMessages.log.tmp-" + ended + "-0",
                                               ".VServerService.reg.tmp-" + ended + "-3"};
    const std::string liveOwn = ".UserMessages.log.tmp-" + live + "-0";
    const std::string foreign = ".UserMessages.log.tmp-backup";
    for (const std::string& name : staleOwn) WriteFile(server.installPath(name), "half");
    WriteFile(server.installPath(liveOwn), "being written");
    WriteFile(server.installPath(foreign), "someone's");

    // The server's own files are cleaned up at start.
    ASSERT_TRUE(server.Start()) << server.failure();
    for (const std::string& name : staleOwn) EXPECT_FALSE(PathExists(server.installPath(name))) << name;
    EXPECT_TRUE(PathExists(server.installPath(liveOwn)));
    EXPECT_TRUE(PathExists(server.installPath(foreign)));

    // A user's file: by the next write of the same file.
    client::Connection c = server.Connect();
    ASSERT_EQ(Exchange(c, client::Request{.id = 1, .type = 807, .argument1 = "pupil"}), Completion(1, 807, "True"));
    const std::string home = server.usersFolder() + "/pupil/";
    const std::string stale = home + ".PUPILVantorelSettings.vts.tmp-" + ended + "-7";
    const std::string other = home + ".OTHER.vts.tmp-" + ended + "-7";
    const std::string liveUser = home + ".PUPILVantorelSettings.vts.tmp-" + live + "-8";
    for (const std::string& path : {stale, other, liveUser}) WriteFile(path, "[General]\r\nFont");
    ASSERT_EQ(Exchange(c, client::Request{.id = 2, .type = 203, .account = "pupil",
                                          .argument2 = "Voice\xB0" "General\xB0" "Clear"}),
              "1\xA7" "2");
    EXPECT_FALSE(PathExists(stale));
    EXPECT_TRUE(PathExists(other));
    EXPECT_TRUE(PathExists(liveUser));
    EXPECT_NE(ReadFile(home + "PUPILVantorelSettings.vts").find("Voice=Clear"), std::string::npos);
}

} // namespace
