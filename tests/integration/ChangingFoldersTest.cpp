// Preference reads while another process keeps changing the users folder: files created,
// rewritten, deleted and renamed to other capitals, home folders renamed, removed, recreated and
// swapped for a link out of the users folder. Every answer must be what a fresh lookup of the
// folders finds at that moment, however the server keeps what it learnt about them.

#include <gtest/gtest.h>
#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <optional>
#include <random>
#include <thread>

#include "ServerHarness.h"

using namespace vserver;
using namespace vserver::test;
namespace fs = std::filesystem;

namespace {

constexpr int kAccounts = 3;
constexpr auto kChanging = std::chrono::milliseconds(2500);

std::string AccountName(int i) { return "pupil" + std::to_string(i); }

// What both processes share: the number of changes begun and ended (odd while one is under
// way) and what the last one was, for the failure message.
struct Shared {
    std::atomic<std::uint64_t> changes;
    char lastChange[160];
};

std::string Recased(const std::string& text, std::mt19937& random) {
    std::string out = text;
    for (char& c : out) {
        if (random() % 2 == 0) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : (c >= 'A' && c <= 'Z' ? c + 32 : c));
    }
    return out;
}

// The entry of folder that name finds, looked up afresh: that exact name, else the first entry
// in directory order whose name is the same without regard to case (all names here are ASCII).
std::optional<std::string> FreshName(const std::string& folder, const std::string& name) {
    struct stat st {};
    if (::lstat((folder + "/" + name).c_str(), &st) == 0) return name;
    DIR* dir = ::opendir(folder.c_str());
    if (dir == nullptr) return std::nullopt;
    std::optional<std::string> found;
    while (const dirent* entry = ::readdir(dir)) {
        if (::strcasecmp(entry->d_name, name.c_str()) == 0) {
            found = entry->d_name;
            break;
        }
    }
    ::closedir(dir);
    return found;
}

// What a read of key K in section S, default "d", must answer for the account spelled asked.
// The only links in this test lead out of the users folder, so a home folder that is a link
// reads as defaults.
std::string FreshAnswer(const std::string& users, const std::string& asked) {
    auto home = FreshName(users, asked);
    if (!home || fs::is_symlink(users + "/" + *home)) return "d";
    std::string folder = users + "/" + *home;
    auto file = FreshName(folder, asked + "VantorelSettings.vts");
    if (!file) return "d";
    std::string content = ReadFile(folder + "/" + *file);
    std::size_t at = content.find("K=");
    if (at == std::string::npos) return "d";
    std::string value = content.substr(at + 2, content.find('\r', at) - at - 2);
    return value.empty() ? "d" : value;
}

// The other process: bursts of changes a few milliseconds apart, then a pause long enough for
// the folders' stamps to settle, so that the server's next lookups may come from what it kept
// and the change after the pause must still be seen.
class Changer {
public:
    Changer(std::string users, std::string outside, Shared* shared, unsigned seed)
        : users_(std::move(users)), outside_(std::move(outside)), shared_(shared), random_(seed) {}

    void Run() {
        auto end = std::chrono::steady_clock::now() + kChanging;
        int value = 0;
        while (std::chrono::steady_clock::now() < end) {
            for (int step = 0; step < 20; ++step) {
                shared_->changes.fetch_add(1);
                Change(static_cast<int>(random_() % kAccounts), std::to_string(++value));
                shared_->changes.fetch_add(1);
                std::this_thread::sleep_for(std::chrono::microseconds(random_() % 2000));
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
    }

private:
    void Note(const std::string& what) {
        std::snprintf(shared_->lastChange, sizeof shared_->lastChange, "%s", what.c_str());
    }

    void Change(int account, const std::string& value) {
        const std::string name = AccountName(account);
        const std::string away = users_ + "/.away" + std::to_string(account);
        auto home = FreshName(users_, name);
        if (!home) {
            std::string created = users_ + "/" + Recased(name, random_);
            if (fs::exists(away)) {
                fs::rename(away, created);
            } else {
                fs::create_directory(created);
            }
            return Note("home folder back as " + created);
        }
        std::string folder = users_ + "/" + *home;
        if (fs::is_symlink(folder)) {
            fs::remove(folder);
            return Note("link " + folder + " removed");
        }
        std::string file = name + "VantorelSettings.vts";
        auto stored = FreshName(folder, file);
        std::string content = "[S]\r\nK=" + value + "\r\n";
        switch (random_() % 9) {
        case 0:
        case 1:
            if (stored) {
                WriteFile(folder + "/" + *stored, content);
                return Note("rewrote " + *stored + " in place with " + value);
            }
            [[fallthrough]];
        case 2: {
            std::string created = Recased(file, random_);
            std::string temporary = folder + "/.new";
            WriteFile(temporary, content);
            fs::rename(temporary, folder + "/" + created);
            return Note("replaced " + folder + "/" + created + " by rename, " + value);
        }
        case 3:
            if (!stored) return Note("nothing to delete");
            fs::remove(folder + "/" + *stored);
            return Note("deleted " + folder + "/" + *stored);
        case 4:
        case 5:
            if (!stored) return Note("nothing to rename");
            {
                std::string renamed = Recased(file, random_);
                fs::rename(folder + "/" + *stored, folder + "/" + renamed);
                return Note("renamed " + *stored + " to " + renamed + " in " + folder);
            }
        case 6: {
            std::string renamed = users_ + "/" + Recased(name, random_);
            fs::rename(folder, renamed);
            return Note("renamed home folder " + folder + " to " + renamed);
        }
        case 7:
            fs::remove_all(folder);
            return Note("removed home folder " + folder);
        default:
            fs::remove_all(away);
            fs::rename(folder, away);
            fs::create_directory_symlink(outside_, folder);
            return Note("home folder " + folder + " swapped for a link out of the users folder");
        }
    }

    std::string users_;
    std::string outside_;
    Shared* shared_;
    std::mt19937 random_;
};

TEST(ChangingFolders, EveryReadSeesTheFoldersAsAFreshLookupDoes) {
    // The changes leave names that differ only in capitals side by side, which only a Linux
    // file system holds; which of them Wine's own lookup picks is Wine's choice, not the rule
    // this test mirrors.
    SKIP_FOR_WINDOWS_SERVER("Wine picks among names that differ only in capitals by its own rule");
    ServerProcess server;
    ASSERT_TRUE(server.Start()) << server.failure();
    const std::string users = server.usersFolder();
    const std::string outside = server.folder() + "/outside";
    MakeFolder(outside);
    for (int i = 0; i < kAccounts; ++i) {
        MakeFolder(users + "/" + AccountName(i));
        WriteFile(outside + "/" + AccountName(i) + "VantorelSettings.vts", "[S]\r\nK=outside\r\n");
    }

    auto* shared = static_cast<Shared*>(
        ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(shared, MAP_FAILED);
    new (shared) Shared{};
    const unsigned seed = std::random_device{}();
    const pid_t changer = RunInChild("changer", [&] { Changer(users, outside, shared, seed).Run(); });

    client::Connection c = server.Connect();
    std::mt19937 random(seed + 1);
    int checked = 0;
    int mismatches = 0;
    int changerStatus = 0;
    for (int id = 1; ::waitpid(changer, &changerStatus, WNOHANG) == 0; ++id) {
        std::uint64_t before = shared->changes.load();
        if (before % 2 != 0) continue;
        std::string asked = Recased(AccountName(static_cast<int>(random() % kAccounts)), random);
        std::string expected = FreshAnswer(users, asked);
        std::string reply =
            Exchange(c, client::Request{.id = id, .type = 201, .account = asked, .argument2 = "K\xB0S\xB0" "d"});
        if (shared->changes.load() != before) continue;  // changed meanwhile: either answer may be right
        ++checked;
        std::string want = "202\xA7" + std::to_string(id) + "\xA7K\xB0" + expected;
        if (reply != want && ++mismatches <= 5) {
            ADD_FAILURE() << "asked " << asked << " after: " << shared->lastChange << "\n  answered " << Hex(reply)
                          << "\n  expected " << Hex(want) << " (seed " << seed << ")";
        }
    }
    EXPECT_TRUE(WIFEXITED(changerStatus) && WEXITSTATUS(changerStatus) == 0);
    EXPECT_EQ(mismatches, 0);
    EXPECT_GT(checked, 100) << "too few reads fell between changes to show anything";
    EXPECT_GT(shared->changes.load() / 2, 50u);
    ::munmap(shared, sizeof(Shared));
}

} // namespace
