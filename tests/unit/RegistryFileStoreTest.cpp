// The registry file seen through the settings-store interface: what a reading may do, what a
// change that gives up leaves, and which values count as present.

#include "platform/common/RegistryFileStore.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <optional>

#include "platform/DurableWrites.h"
#include "platform/EventLoop.h"
#include "support/TestFiles.h"

namespace vserver::platform {
namespace {

using vserver::test::ReadFile;
using vserver::test::TempFolder;
using vserver::test::WriteFile;

const std::string kKey = "HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options";
const std::string kFile = "REGEDIT4\r\n\r\n[" + kKey + "]\r\n\"Motto\"=\"first\"\r\n\"Count\"=dword:00000002\r\n";

class RegistryFileStoreTest : public ::testing::Test {
protected:
    RegistryFileStoreTest() { WriteFile(path_, kFile); }

    TempFolder folder_;
    std::string path_ = folder_ / "VServerService.reg";
    RegistryFileStore store_{path_};
};

TEST_F(RegistryFileStoreTest, AReadingSeesEveryValueAndChangesNothing) {
    ASSERT_TRUE(store_.Read([&](RegistryKeys& keys) {
        SysResult failure = SysResult::Ok();
        EXPECT_EQ(keys.OpenKey(kKey + "\\Missing", &failure), nullptr);
        EXPECT_EQ(failure.error(), ENOENT);

        const std::unique_ptr<RegistryKey> key = keys.OpenKey(kKey);
        ASSERT_NE(key, nullptr);
        EXPECT_EQ(key->ReadString("MOTTO").value_or("(none)"), "first");
        EXPECT_EQ(key->ReadString("Count"), std::nullopt);
        EXPECT_TRUE(key->HasValue("count")) << "a value of another type is still there";
        EXPECT_FALSE(key->HasValue("Colour"));
        EXPECT_EQ(key->ValueNames(), (std::vector<std::string>{"Motto", "Count"}));

        EXPECT_FALSE(key->WriteString("Motto", "second"));
        EXPECT_FALSE(key->DeleteValue("Motto"));
        EXPECT_EQ(keys.CreateKey(kKey + "\\New"), nullptr);
        EXPECT_FALSE(keys.DeleteKeyTree(kKey));
    }));
    EXPECT_EQ(ReadFile(path_), kFile);
    ASSERT_TRUE(store_.Read([&](RegistryKeys& keys) {
        EXPECT_EQ(keys.OpenKey(kKey)->ReadString("Motto").value_or("(none)"), "first");
    }));
}

TEST_F(RegistryFileStoreTest, AChangeThatGivesUpWritesNothingAndOneThatGoesOnIsRead) {
    ASSERT_TRUE(store_.Update([&](RegistryKeys& keys) {
        keys.CreateKey(kKey)->WriteString("Motto", "discarded");
        return false;
    }));
    EXPECT_EQ(ReadFile(path_), kFile);

    ASSERT_TRUE(store_.Update([&](RegistryKeys& keys) {
        const std::unique_ptr<RegistryKey> key = keys.CreateKey(kKey);
        EXPECT_FALSE(key->WriteString("Line\nBreak", "x")) << "no name of the file's text holds a line break";
        EXPECT_TRUE(key->DeleteValue("Count"));
        EXPECT_FALSE(key->DeleteValue("Count"));
        return key->WriteString("Motto", "second");
    }));
    EXPECT_EQ(ReadFile(path_), "REGEDIT4\r\n\r\n[" + kKey + "]\r\n\"Motto\"=\"second\"\r\n");
    ASSERT_TRUE(store_.Read([&](RegistryKeys& keys) {
        EXPECT_EQ(keys.OpenKey(kKey)->ReadString("Motto").value_or("(none)"), "second");
    }));
}

TEST_F(RegistryFileStoreTest, AFileThatCannotBeReadIsAFailureWithNoKeys) {
    const std::string folder = folder_ / "folder.reg";
    vserver::test::MakeFolder(folder);
    RegistryFileStore unreadable(folder);
    bool opened = true;
    const SysResult result = unreadable.Read([&](RegistryKeys& keys) { opened = keys.OpenKey(kKey) != nullptr; });
    EXPECT_FALSE(result.ok());
    EXPECT_FALSE(opened);
    EXPECT_EQ(unreadable.Name(), "registry file " + folder);
}

std::string ReadMotto(const RegistryStore& store) {
    std::string motto;
    EXPECT_TRUE(store.Read([&](RegistryKeys& keys) {
        if (auto key = keys.OpenKey(kKey)) motto = key->ReadString("Motto").value_or("(none)");
    }));
    return motto;
}

// A durable write is seen by readings only once its completion says it is on disk, takes its
// turn with every other writer of the file, and leaves the parsed copy such that an edit by
// another program right after it still shows.
TEST_F(RegistryFileStoreTest, ADurableWriteShowsOnceOnDiskAndAnEditRightAfterItStillShows) {
    EventLoop loop;
    SyncWorker syncs(loop);
    EXPECT_EQ(ReadMotto(store_), "first");
    std::optional<SysResult> outcome;
    auto done = [&](SysResult result) {
        outcome = result;
        loop.Stop();
    };
    ASSERT_TRUE(store_.WriteStringDurably(kKey, "MOTTO", "second", syncs, done));
    EXPECT_EQ(ReadMotto(store_), "first") << "not acknowledged yet";
    const SysResult second = store_.WriteStringDurably(kKey, "Motto", "third", syncs, done);
    EXPECT_TRUE(IsLockBusy(second)) << "one at a time: " << second.Describe();
    loop.AddTimer(std::chrono::seconds(30), [&] { loop.Stop(); });
    loop.Run();
    ASSERT_TRUE(outcome.has_value());
    EXPECT_TRUE(outcome->ok()) << outcome->Describe();
    EXPECT_EQ(ReadFile(path_), "REGEDIT4\r\n\r\n[" + kKey + "]\r\n\"Motto\"=\"second\"\r\n\"Count\"=dword:00000002\r\n");
    EXPECT_EQ(ReadMotto(store_), "second");

    // Rewritten in place with the same size within the same moment: the stamps may not tell.
    WriteFile(path_, "REGEDIT4\r\n\r\n[" + kKey + "]\r\n\"Motto\"=\"secont\"\r\n\"Count\"=dword:00000002\r\n");
    EXPECT_EQ(ReadMotto(store_), "secont");
}

TEST_F(RegistryFileStoreTest, ADurableWriteWaitsForTheLockAndLeavesAnUnreadableFileAlone) {
    EventLoop loop;
    SyncWorker syncs(loop);
    bool called = false;
    auto done = [&](SysResult) { called = true; };
    // Another process's update holds the lock throughout its change.
    ASSERT_TRUE(UpdateRegistryFile(path_, [&](RegistryFile&) {
        EXPECT_TRUE(IsLockBusy(store_.WriteStringDurably(kKey, "Motto", "x", syncs, done)));
        return false;
    }));
    WriteFile(path_, kFile + "not a line\r\n");
    const SysResult refused = store_.WriteStringDurably(kKey, "Motto", "x", syncs, done);
    EXPECT_EQ(std::string(refused.call()), "parse");
    EXPECT_EQ(ReadFile(path_), kFile + "not a line\r\n");
    EXPECT_FALSE(called);
}

} // namespace
} // namespace vserver::platform
