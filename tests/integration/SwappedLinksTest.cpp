// Links in the users folder that lead out of it, present from the start or swapped in by
// another process while the server answers: no read may answer from outside, and nothing
// outside may be created or changed, by preference writes, account creation or the usage
// statistics.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <random>
#include <thread>

#include "ServerHarness.h"

using namespace vserver;
using namespace vserver::test;
namespace fs = std::filesystem;

namespace {

constexpr auto kSwapping = std::chrono::milliseconds(2500);
const std::string kInside = "[S]\r\nK=inside\r\n";
const std::string kOutside = "[S]\r\nK=outside\r\n";

std::string Item(const std::string& key, const std::string& section, const std::string& value) {
    return key + "\xB0" + section + "\xB0" + value;
}

// Every entry below folder with its content ("/" for a folder, the link's target for a link).
std::map<std::string, std::string> Snapshot(const std::string& folder) {
    std::map<std::string, std::string> entries;
    for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
        const std::string name = fs::relative(it->path(), folder).string();
        if (it->is_symlink()) {
            entries[name] = "-> " + fs::read_symlink(it->path()).string();
        } else if (it->is_directory()) {
            entries[name] = "/";
        } else {
            entries[name] = ReadFile(it->path().string());
        }
    }
    return entries;
}

// Whether the other process is still swapping, and how many swaps it made.
struct Shared {
    std::atomic<bool> done;
    std::atomic<int> swaps;
};

// The other process: the home folder "pupil" and its sub-folder "sub" swapped, again and again,
// between the real folder and a link out of the users folder (to a folder elsewhere, or up to
// the master folder above it), in bursts with pauses long enough for the server to keep what it
// learnt about the folders.
class Swapper {
public:
    Swapper(std::string users, std::string outside, Shared* shared, unsigned seed)
        : users_(std::move(users)), outside_(std::move(outside)), shared_(shared), random_(seed) {}

    void Run() {
        const auto end = std::chrono::steady_clock::now() + kSwapping;
        while (std::chrono::steady_clock::now() < end) {
            for (int step = 0; step < 30; ++step) {
                if (random_() % 2 == 0) {
                    Swap(users_ + "/pupil", users_ + "/.pupil", {outside_, ".."});
                } else if (!fs::is_symlink(users_ + "/pupil")) {
                    Swap(users_ + "/pupil/sub", users_ + "/pupil/.sub", {outside_, "../.."});
                }
                shared_->swaps.fetch_add(1);
                std::this_thread::sleep_for(std::chrono::microseconds(random_() % 1000));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
        // Everything back in place, so what the server wrote can be checked: the home folder
        // first, as its sub-folder is only reached through it.
        Restore(users_ + "/pupil", users_ + "/.pupil");
        Restore(users_ + "/pupil/sub", users_ + "/pupil/.sub");
    }

private:
    void Swap(const std::string& folder, const std::string& away, const std::vector<std::string>& targets) {
        if (fs::is_symlink(folder)) return Restore(folder, away);
        fs::rename(folder, away);
        fs::create_directory_symlink(targets[random_() % targets.size()], folder);
    }
    static void Restore(const std::string& folder, const std::string& away) {
        if (!fs::is_symlink(folder)) return;
        fs::remove(folder);
        fs::rename(away, folder);
    }

    std::string users_;
    std::string outside_;
    Shared* shared_;
    std::mt19937 random_;
};

std::string Recased(std::string text, std::mt19937& random) {
    for (char& c : text) {
        if (random() % 3 == 0 && c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
    }
    return text;
}

TEST(SwappedLinks, NoStepOfARequestLeavesTheUsersFolderWhileFoldersAreSwappedForLinks) {
    // A Linux process renames the folders behind Wine's back: Wine cannot hold a folder in place
    // against it the way Windows holds a folder another handle has open.
    SKIP_FOR_WINDOWS_SERVER("Wine does not hold folders in place against a Linux process that renames them");
    ServerProcess server;
    ASSERT_TRUE(server.Start()) << server.failure();
    const std::string users = server.usersFolder();
    const std::string master = server.folder() + "/master";
    const std::string outside = server.folder() + "/outside";
    MakeFolder(users + "/pupil/sub");
    MakeFolder(outside + "/sub");
    WriteFile(users + "/pupil/PUPILVantorelSettings.vts", kInside);
    WriteFile(users + "/pupil/sub/data.vts", kInside);
    // What each link would reach: the same names, holding "outside".
    for (const std::string& folder : {outside, outside + "/sub", master, server.folder()}) {
        WriteFile(folder + "/PUPILVantorelSettings.vts", kOutside);
        WriteFile(folder + "/data.vts", kOutside);
    }
    const auto outsideBefore = Snapshot(outside);
    const std::string masterFile = ReadFile(master + "/PUPILVantorelSettings.vts");

    auto* shared = static_cast<Shared*>(
        ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(shared, MAP_FAILED);
    new (shared) Shared{};
    const unsigned seed = std::random_device{}();
    const pid_t swapper = RunInChild("swapper", [&] { Swapper(users, outside, shared, seed).Run(); });

    client::Connection c = server.Connect();
    std::mt19937 random(seed + 1);
    int insideReads = 0;
    int outsideReads = 0;
    int status = 0;
    for (int id = 1; ::waitpid(swapper, &status, WNOHANG) == 0; ++id) {
        const bool nested = random() % 2 == 0;
        const std::string account = nested ? "" : Recased("pupil", random);
        const std::string file = nested ? Recased("pupil\\sub\\data.vts", random) : "";
        if (random() % 3 == 0) {
            Exchange(c, {.id = id, .type = 203, .account = account, .argument1 = file,
                         .argument2 = Item("W", "S", std::to_string(id))});
            continue;
        }
        std::string reply = Exchange(c, {.id = id, .type = 201, .account = account, .argument1 = file,
                                         .argument2 = Item("K", "S", "d")});
        const std::string prefix = "202\xA7" + std::to_string(id) + "\xA7K\xB0";
        ASSERT_EQ(reply.substr(0, prefix.size()), prefix) << Hex(reply);
        const std::string value = reply.substr(prefix.size());
        if (value == "inside") ++insideReads;
        if (value == "outside" && ++outsideReads <= 5) {
            ADD_FAILURE() << "read " << account << file << " from outside the users folder (seed " << seed << ")";
        }
    }
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(outsideReads, 0);
    EXPECT_GT(insideReads, 0) << "no read found the real folder";
    EXPECT_GT(shared->swaps.load(), 100);
    ::munmap(shared, sizeof(Shared));

    EXPECT_EQ(Snapshot(outside), outsideBefore);
    EXPECT_EQ(ReadFile(master + "/PUPILVantorelSettings.vts"), masterFile);
    EXPECT_EQ(ReadFile(server.folder() + "/data.vts"), kOutside);
    // With every folder back in place, reads and writes reach the real files again.
    Exchange(c, {.id = 1, .type = 203, .account = "PUPIL", .argument2 = Item("K", "S", "again")});
    Exchange(c, {.id = 2, .type = 203, .argument1 = "pupil\\SUB\\data.vts", .argument2 = Item("K", "S", "again")});
    EXPECT_NE(ReadFile(users + "/pupil/PUPILVantorelSettings.vts").find("K=again"), std::string::npos);
    EXPECT_NE(ReadFile(users + "/pupil/sub/data.vts").find("K=again"), std::string::npos);
}

TEST(SwappedLinks, AccountsAndStatisticsNeverWriteThroughALinkOut) {
    // Wine shows a Linux link to a file as the plain file it leads to.
    SKIP_FOR_WINDOWS_SERVER("Wine shows a link to a file as that file, so no Windows program can tell it");
    ServerProcess server(ServerOptions{.extraRegistry = kOpenConsole +
                                                        "\"LogUserStatistics\"=\"True\"\r\n"});
    ASSERT_TRUE(server.Start()) << server.failure();
    const std::string users = server.usersFolder();
    const std::string outside = server.folder() + "/outside";
    MakeFolder(outside);
    WriteFile(outside + "/EventLog.log", "theirs");
    WriteFile(outside + "/VantorelSettings.vts", "[Secret]\r\nK=outside\r\n");
    fs::create_symlink(outside + "/EventLog.log", users + "/EventLog.log");
    fs::remove(users + "/VantorelSettings.vts");
    fs::create_symlink(outside + "/VantorelSettings.vts", users + "/VantorelSettings.vts");
    fs::create_directory_symlink(outside, users + "/away");

    client::Connection c = server.Connect();
    // The new account is made, but the master file behind the link is not copied into it.
    EXPECT_EQ(Exchange(c, {.id = 1, .type = 807, .argument1 = "amy"}), Completion(1, 807, "True"));
    EXPECT_TRUE(server.WaitForLogText("Can't copy master preference file to user's home path: " + users +
                                      "/amy/AMYVantorelSettings.vts"));
    EXPECT_TRUE(Names(users + "/amy").empty());
    // A home folder that leads out is no account: not listed, and no logon.
    EXPECT_EQ(Exchange(c, {.id = 2, .type = 100}), Completion(2, 100, "amy"));
    EXPECT_EQ(Exchange(c, {.id = 3, .type = 101, .label = "Room 1", .account = "away", .clientKind = 3,
                           .version = "9.0", .detail = "ws"}),
              Completion(3, 101, "1"));
    // The statistics line of a logon is not appended to the file the link leads to.
    client::Connection pupil = server.Connect();
    EXPECT_EQ(Exchange(pupil, {.id = 4, .type = 101, .label = "Room 1", .account = "amy", .clientKind = 3,
                               .version = "9.0", .detail = "ws"}),
              "1\xA7" "4");
    std::string upper = users + "/EVENTLOG.LOG";
    std::transform(upper.begin(), upper.end(), upper.begin(), [](unsigned char ch) { return std::toupper(ch); });
    EXPECT_TRUE(server.WaitForLogText("Unable to open file: " + upper));
    EXPECT_EQ(ReadFile(outside + "/EventLog.log"), "theirs");
    EXPECT_EQ(ReadFile(outside + "/VantorelSettings.vts"), "[Secret]\r\nK=outside\r\n");
}

} // namespace
