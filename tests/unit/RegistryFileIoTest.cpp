#include "platform/RegistryFileIo.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "LogCapture.h"
#include "platform/ProcessInfo.h"

namespace vserver::platform {
namespace {

namespace fs = std::filesystem;

constexpr const char* kOptions = "HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options";

using vserver::test::ReadFile;
using vserver::test::TempFolder;
using vserver::test::SetImmutable;
using vserver::test::WriteFile;

class RegistryFileFolder : public ::testing::Test {
protected:
    TempFolder folder_;
    std::string path_ = folder_ / "VServerService.reg";
};

TEST_F(RegistryFileFolder, AMissingFileLeavesNothingInDoubtAndAnEmptyOneDoes) {
    RegistryFile reg;
    ASSERT_TRUE(LoadRegistryFile(path_, reg));
    EXPECT_EQ(reg.DoubtAbout(kOptions), std::nullopt);
    WriteFile(path_, "");
    ASSERT_TRUE(LoadRegistryFile(path_, reg));
    EXPECT_EQ(reg.DoubtAbout(kOptions), "the file is empty");
    // An empty file is still written: a registration may start from one made by hand.
    ASSERT_TRUE(UpdateRegistryFile(path_, [](RegistryFile& file) {
        file.WriteString(kOptions, "A", "1");
        return true;
    }));
    ASSERT_TRUE(LoadRegistryFile(path_, reg));
    EXPECT_EQ(reg.DoubtAbout(kOptions), std::nullopt);
}

TEST_F(RegistryFileFolder, StampsChangeWithEveryRewrite) {
    WriteFile(path_, "REGEDIT4\r\n");
    RegistryFile reg;
    RegistryFileStamps loaded;
    RegistryFileStamps now;
    ASSERT_TRUE(LoadRegistryFile(path_, reg, nullptr, &loaded).ok());
    ASSERT_TRUE(ReadRegistryFileStamps(path_, now).ok());
    EXPECT_TRUE(loaded.exists);
    EXPECT_TRUE(now.SameVersion(loaded));
    // Just written: a change within the file system's time granularity could hide.
    EXPECT_FALSE(loaded.settled);

    ASSERT_TRUE(UpdateRegistryFile(path_, [](RegistryFile& r) {
                    r.WriteString(kOptions, "A", "1");
                    return true;
                }).ok());
    ASSERT_TRUE(ReadRegistryFileStamps(path_, now).ok());
    EXPECT_FALSE(now.SameVersion(loaded));

    fs::remove(path_);
    ASSERT_TRUE(LoadRegistryFile(path_, reg, nullptr, &loaded).ok());
    ASSERT_TRUE(ReadRegistryFileStamps(path_, now).ok());
    EXPECT_FALSE(loaded.exists);
    EXPECT_TRUE(loaded.settled);
    EXPECT_TRUE(now.SameVersion(loaded));
}

TEST_F(RegistryFileFolder, MissingFileIsAnEmptyRegistryAndAFolderIsAnError) {
    RegistryFile reg = RegistryFile::Parse("REGEDIT4\n[HKEY_X]\n");
    EXPECT_TRUE(LoadRegistryFile(path_, reg).ok());
    EXPECT_TRUE(reg.keys().empty());

    const SysResult folder = LoadRegistryFile(folder_.path(), reg);
    EXPECT_FALSE(folder.ok());
}

TEST_F(RegistryFileFolder, UpdateWritesTheFileAndLeavesItAloneWhenNothingChanges) {
    ASSERT_TRUE(UpdateRegistryFile(path_, [](RegistryFile&) { return false; }).ok());
    EXPECT_FALSE(fs::exists(path_));

    ASSERT_TRUE(UpdateRegistryFile(path_, [](RegistryFile& reg) {
                    reg.WriteString(kOptions, "A", "1");
                    return true;
                }).ok());
    ASSERT_TRUE(UpdateRegistryFile(path_, [](RegistryFile& reg) {
                    reg.WriteString(kOptions, "B", "2");
                    return true;
                }).ok());

    const std::string text = ReadFile(path_);
    EXPECT_EQ(text.rfind("REGEDIT4\r\n", 0), 0u);
    RegistryFile reg;
    ASSERT_TRUE(LoadRegistryFile(path_, reg).ok());
    EXPECT_EQ(reg.ReadString(kOptions, "A"), "1");
    EXPECT_EQ(reg.ReadString(kOptions, "B"), "2");
    // Only the registry file and its lock file remain: no temporary file is left behind.
    EXPECT_EQ(vserver::test::Names(folder_.path()), (std::vector<std::string>{"VServerService.reg", "VServerService.reg.lock"}));
}

TEST_F(RegistryFileFolder, UpdateLeavesAFileWithUnreadableLinesUntouched) {
    const std::string text = "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software]\nhand-written mistake\n";
    WriteFile(path_, text);

    const SysResult result = UpdateRegistryFile(path_, [](RegistryFile& reg) {
        reg.WriteString(kOptions, "A", "1");
        return true;
    });

    EXPECT_FALSE(result.ok());
    EXPECT_STREQ(result.call(), "parse");
    EXPECT_EQ(ReadFile(path_), text);
}

TEST_F(RegistryFileFolder, UpdateFollowsASymbolicLinkAndKeepsIt) {
    const std::string real = folder_ / "elsewhere.reg";
    WriteFile(real, "REGEDIT4\n");
    fs::create_symlink(real, path_);

    ASSERT_TRUE(UpdateRegistryFile(path_, [](RegistryFile& reg) {
                    reg.WriteString(kOptions, "A", "1");
                    return true;
                }).ok());

    EXPECT_TRUE(fs::is_symlink(path_));
    EXPECT_NE(ReadFile(real).find("\"A\"=\"1\""), std::string::npos);
}

TEST_F(RegistryFileFolder, UpdatesFromTwoProcessesKeepEachOthersValues) {
    constexpr int kWrites = 40;
    auto writeMany = [this](const char* prefix) {
        for (int i = 0; i < kWrites; ++i) {
            const SysResult result = UpdateRegistryFile(path_, [&](RegistryFile& reg) {
                reg.WriteString(kOptions, prefix + std::to_string(i), "v");
                return true;
            });
            if (!result) return false;
        }
        return true;
    };

    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) ::_exit(writeMany("child") ? 0 : 1);
    const bool parentOk = writeMany("parent");
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);

    ASSERT_TRUE(parentOk);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    RegistryFile reg;
    ASSERT_TRUE(LoadRegistryFile(path_, reg).ok());
    const RegistryFile::Key* options = reg.FindKey(kOptions);
    ASSERT_NE(options, nullptr);
    EXPECT_EQ(options->values.size(), 2u * kWrites);
}

TEST_F(RegistryFileFolder, UpdateReportsAPlaceItCannotWrite) {
    auto change = [](RegistryFile& reg) {
        reg.WriteString(kOptions, "A", "1");
        return true;
    };
    // A path below a plain file fails for every user, the superuser too.
    WriteFile(folder_ / "plain", "");
    EXPECT_FALSE(UpdateRegistryFile(folder_ / "plain/VServerService.reg", change).ok());
}

TEST_F(RegistryFileFolder, UpdateReportsAReadOnlyFolder) {
    auto change = [](RegistryFile& reg) {
        reg.WriteString(kOptions, "A", "1");
        return true;
    };
    const std::string readOnly = folder_ / "readonly";
    fs::create_directory(readOnly);
    const std::string path = readOnly + "/VServerService.reg";
    WriteFile(path, "REGEDIT4\n");
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec);
    // The superuser writes to read-only folders; an immutable folder stops it too.
    if (::access(readOnly.c_str(), W_OK) == 0 && !SetImmutable(readOnly, true)) {
        GTEST_SKIP() << "this user writes to read-only folders and cannot make one immutable";
    }
    const SysResult result = UpdateRegistryFile(path, change);
    EXPECT_FALSE(result.ok());
    EXPECT_EQ(ReadFile(path), "REGEDIT4\n");
}

TEST(RegistryFilePath, IsTheEnvironmentsChoiceOrBesideTheExecutable) {
    const char* previous = std::getenv("VSERVER_REGISTRY");
    const std::string saved = previous ? previous : "";

    ::setenv("VSERVER_REGISTRY", "/etc/vserver/settings.reg", 1);
    EXPECT_EQ(RegistryFilePath(), "/etc/vserver/settings.reg");
    ::setenv("VSERVER_REGISTRY", "", 1);
    EXPECT_EQ(RegistryFilePath(), ExecutableFolder() + "VServerService.reg");

    if (previous) {
        ::setenv("VSERVER_REGISTRY", saved.c_str(), 1);
    } else {
        ::unsetenv("VSERVER_REGISTRY");
    }
}

} // namespace
} // namespace vserver::platform
