// The registry file seen through the settings-store interface: what a reading may do, what a
// change that gives up leaves, and which values count as present.

#include "platform/RegistryFileStore.h"

#include <gtest/gtest.h>

#include <cerrno>

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

} // namespace
} // namespace vserver::platform
