// The system registry as the settings store: what it reads as a string, what a change leaves
// behind, which store an installation gets, and that a registry file written by this program
// imports into the system registry with its texts intact.

#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cerrno>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "SystemRegistry.h"
#include "platform/DurableWrites.h"
#include "platform/EventLoop.h"
#include "platform/RegistryStore.h"
#include "support/ScopedVariable.h"
#include "support/TestFiles.h"

namespace vserver::platform {
namespace {

using vserver::test::ScopedVariable;
using vserver::test::TempFolder;
using vserver::test::WriteFile;

// A key of its own for each test process, removed with everything below it at the end; tests
// of one run may go side by side in the same prefix.
class SystemRegistryTest : public ::testing::Test {
protected:
    SystemRegistryTest()
        : subkey_("Software\\VServerServiceTest\\" + std::to_string(::GetCurrentProcessId())),
          root_("HKEY_CURRENT_USER\\" + subkey_),
          store_(OpenSystemRegistry()) {}
    ~SystemRegistryTest() override { ::RegDeleteTreeA(HKEY_CURRENT_USER, subkey_.c_str()); }

    SysResult Change(const std::function<void(RegistryKeys&)>& change) {
        return store_->Update([&](RegistryKeys& keys) {
            change(keys);
            return true;
        });
    }
    // The string value as a reading finds it; "(no key)" or "(no string)" when there is none.
    std::string Read(const std::string& key, const std::string& name) {
        std::string text = "(no key)";
        EXPECT_TRUE(store_->Read([&](RegistryKeys& keys) {
            if (const std::unique_ptr<RegistryKey> opened = keys.OpenKey(key)) {
                text = opened->ReadString(name).value_or("(no string)");
            }
        }));
        return text;
    }
    // Stores raw data of any type, as another program might.
    void SetRaw(const std::string& name, DWORD type, const void* data, DWORD size) {
        HKEY key = nullptr;
        ASSERT_EQ(::RegCreateKeyExA(HKEY_CURRENT_USER, subkey_.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                                    nullptr),
                  ERROR_SUCCESS);
        EXPECT_EQ(::RegSetValueExA(key, name.c_str(), 0, type, static_cast<const BYTE*>(data), size), ERROR_SUCCESS);
        ::RegCloseKey(key);
    }

    std::string subkey_;
    std::string root_;
    std::unique_ptr<RegistryStore> store_;
};

TEST_F(SystemRegistryTest, StringsOfEitherTypeAreReadUnchangedAndOtherTypesAreNone) {
    const std::string expandable = "%SystemRoot%\\Data";
    SetRaw("Expandable", REG_EXPAND_SZ, expandable.c_str(), static_cast<DWORD>(expandable.size() + 1));
    const std::string bare = "no terminator";
    SetRaw("Bare", REG_SZ, bare.data(), static_cast<DWORD>(bare.size()));
    const DWORD number = 1006;
    SetRaw("Number", REG_DWORD, &number, sizeof number);
    SetRaw("Binary", REG_BINARY, "ab", 2);
    SetRaw("Empty", REG_SZ, "", 1);
    const std::string longName(300, 'L');
    SetRaw(longName, REG_SZ, "", 1);

    const struct {
        const char* name;
        std::string text;
    } cases[] = {
        {"Expandable", expandable},  // never expanded
        {"EXPANDABLE", expandable},  // names match without regard to case
        {"Bare", bare},              // stored without its terminator by another program
        {"Number", "(no string)"},
        {"Binary", "(no string)"},
        {"Missing", "(no string)"},
        {"Empty", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(Read(root_, c.name), c.text) << c.name;

    EXPECT_TRUE(store_->Read([&](RegistryKeys& keys) {
        const std::unique_ptr<RegistryKey> key = keys.OpenKey(root_);
        ASSERT_NE(key, nullptr);
        EXPECT_TRUE(key->HasValue("number"));
        EXPECT_TRUE(key->HasValue("Empty"));
        EXPECT_FALSE(key->HasValue("Missing"));
        // Every value is named, strings or not, however long its name.
        std::vector<std::string> names = key->ValueNames();
        std::sort(names.begin(), names.end());
        EXPECT_EQ(names, (std::vector<std::string>{"Bare", "Binary", "Empty", "Expandable", longName, "Number"}));
    }));
}

TEST_F(SystemRegistryTest, WritesStoreTerminatedStringsOverAnyEarlierType) {
    const DWORD number = 7;
    SetRaw("Port", REG_DWORD, &number, sizeof number);
    const std::string longText(5000, 'x');
    const std::string western = "caf\xE9 \"quoted\" back\\slash";

    ASSERT_TRUE(Change([&](RegistryKeys& keys) {
        const std::unique_ptr<RegistryKey> key = keys.CreateKey(root_ + "\\Options");
        ASSERT_NE(key, nullptr);
        EXPECT_TRUE(key->WriteString("Long", longText));
        EXPECT_TRUE(key->WriteString("Western", western));
        EXPECT_TRUE(key->WriteString("", "default"));
        EXPECT_TRUE(keys.CreateKey(root_)->WriteString("Port", "2000"));
    }));

    EXPECT_EQ(Read(root_ + "\\Options", "Long"), longText);
    EXPECT_EQ(Read(root_ + "\\Options", "Western"), western);
    EXPECT_EQ(Read(root_ + "\\Options", ""), "default");
    EXPECT_EQ(Read(root_, "Port"), "2000");

    // Other programs read the terminator as part of the stored length.
    HKEY key = nullptr;
    ASSERT_EQ(::RegOpenKeyExA(HKEY_CURRENT_USER, subkey_.c_str(), 0, KEY_READ, &key), ERROR_SUCCESS);
    DWORD type = 0;
    DWORD size = 0;
    EXPECT_EQ(::RegQueryValueExA(key, "Port", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    ::RegCloseKey(key);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, 5u);
}

TEST_F(SystemRegistryTest, ReadingsChangeNothingAndMissingKeysSayWhy) {
    EXPECT_EQ(Read(root_, "Any"), "(no key)");
    EXPECT_TRUE(store_->Read([&](RegistryKeys& keys) {
        SysResult failure = SysResult::Ok();
        EXPECT_EQ(keys.OpenKey(root_ + "\\Missing", &failure), nullptr);
        EXPECT_EQ(failure.error(), ENOENT) << failure.Describe();
        EXPECT_EQ(keys.OpenKey("HKEY_NOWHERE\\Software", &failure), nullptr);
        EXPECT_FALSE(failure.ok());
        EXPECT_EQ(keys.CreateKey(root_), nullptr);
    }));
    EXPECT_EQ(Read(root_, "Any"), "(no key)");

    ASSERT_TRUE(Change([&](RegistryKeys& keys) { keys.CreateKey(root_)->WriteString("Kept", "yes"); }));
    EXPECT_TRUE(store_->Read([&](RegistryKeys& keys) {
        const std::unique_ptr<RegistryKey> key = keys.OpenKey(root_);
        ASSERT_NE(key, nullptr);
        EXPECT_FALSE(key->WriteString("Kept", "no"));
        EXPECT_FALSE(key->DeleteValue("Kept"));
        EXPECT_FALSE(keys.DeleteKeyTree(root_));
    }));
    EXPECT_EQ(Read(root_, "Kept"), "yes");
}

TEST_F(SystemRegistryTest, DeletionsRemoveWhatIsThereAndNeverAWholeHive) {
    ASSERT_TRUE(Change([&](RegistryKeys& keys) {
        keys.CreateKey(root_)->WriteString("Stays", "1");
        keys.CreateKey(root_ + "\\AppID\\{GUID}")->WriteString("LocalService", "VServerService");
        keys.CreateKey(root_ + "\\AppID\\{GUID}\\Deeper")->WriteString("", "x");
        keys.CreateKey(root_ + "\\AppID\\Other")->WriteString("Value", "2");
    }));

    bool removed[4] = {};
    ASSERT_TRUE(Change([&](RegistryKeys& keys) {
        removed[0] = keys.DeleteKeyTree(root_ + "\\appid\\{guid}");
        removed[1] = keys.DeleteKeyTree(root_ + "\\AppID\\{GUID}");
        removed[2] = keys.CreateKey(root_)->DeleteValue("Stays");
        removed[3] = keys.CreateKey(root_)->DeleteValue("Stays");
    }));
    EXPECT_TRUE(removed[0]);
    EXPECT_FALSE(removed[1]) << "a missing key is nothing to remove, and no failure";
    EXPECT_TRUE(removed[2]);
    EXPECT_FALSE(removed[3]);
    EXPECT_EQ(Read(root_ + "\\AppID\\{GUID}", "LocalService"), "(no key)");
    EXPECT_EQ(Read(root_ + "\\AppID\\Other", "Value"), "2");
    EXPECT_EQ(Read(root_, "Stays"), "(no string)");

    for (const char* hive : {"HKEY_CURRENT_USER", "HKEY_CURRENT_USER\\", "HKEY_NOWHERE\\Software"}) {
        const SysResult refused = Change([&](RegistryKeys& keys) { EXPECT_FALSE(keys.DeleteKeyTree(hive)); });
        EXPECT_FALSE(refused.ok()) << hive;
    }
    EXPECT_EQ(Read(root_ + "\\AppID\\Other", "Value"), "2");
}

TEST_F(SystemRegistryTest, AChangeReportsItsFirstFailure) {
    const SysResult result = Change([&](RegistryKeys& keys) {
        EXPECT_EQ(keys.CreateKey("HKEY_NOWHERE\\Software"), nullptr);
        EXPECT_NE(keys.CreateKey(root_), nullptr);
    });
    EXPECT_FALSE(result.ok());
    EXPECT_STREQ(result.call(), "RegCreateKeyExA");
}

// The option write's path: its outcome reaches the loop like that of a write that was synced.
TEST_F(SystemRegistryTest, ADurableWriteReportsOnTheLoop) {
    EventLoop loop;
    SyncWorker syncs(loop);
    std::vector<SysResult> outcomes;
    auto done = [&](SysResult result) {
        outcomes.push_back(result);
        if (outcomes.size() == 2) loop.Stop();
    };
    ASSERT_TRUE(store_->WriteStringDurably(root_ + "\\Options", "Colour", "green", syncs, done));
    ASSERT_TRUE(store_->WriteStringDurably("HKEY_NOWHERE\\Software", "Colour", "red", syncs, done));
    EXPECT_TRUE(outcomes.empty()) << "reported from the loop only";
    loop.AddTimer(std::chrono::seconds(30), [&] { loop.Stop(); });
    loop.Run();
    ASSERT_EQ(outcomes.size(), 2u);
    EXPECT_TRUE(outcomes[0].ok()) << outcomes[0].Describe();
    EXPECT_STREQ(outcomes[1].call(), "RegCreateKeyExA");
    EXPECT_EQ(Read(root_ + "\\Options", "Colour"), "green");
}

TEST(InstallationRegistry, AFileNamedByTheEnvironmentElseTheSystemRegistry) {
    {
        const ScopedVariable chosen("VSERVER_REGISTRY", "C:\\settings\\VServerService.reg");
        const std::unique_ptr<RegistryStore> store = OpenInstallationRegistry();
        EXPECT_EQ(store->FilePath(), "C:\\settings\\VServerService.reg");
        EXPECT_EQ(store->Name(), "registry file C:\\settings\\VServerService.reg");
    }
    for (const std::optional<std::string>& unset : {std::optional<std::string>(""), std::optional<std::string>()}) {
        const ScopedVariable cleared("VSERVER_REGISTRY", unset);
        const std::unique_ptr<RegistryStore> store = OpenInstallationRegistry();
        EXPECT_EQ(store->FilePath(), "");
        EXPECT_EQ(store->Name(), "the system registry");
    }
}

// Runs a command line of the system's own tools; its exit code.
DWORD RunTool(std::string commandLine) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessA(nullptr, commandLine.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                          &startup, &process)) {
        return ::GetLastError();
    }
    ::WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    ::GetExitCodeProcess(process.hProcess, &code);
    ::CloseHandle(process.hThread);
    ::CloseHandle(process.hProcess);
    return code;
}

// An administrator moves the settings of a Linux installation with "reg import": the file as
// this program and a person write it (CR LF lines, escaped backslashes and quotes, a value
// changed in place by the file store) must read the same through the system registry.
TEST_F(SystemRegistryTest, ARegistryFileImportsWithItsTextsIntact) {
    TempFolder folder;
    const std::string path = folder / "VServerService.reg";
    const std::string key = root_ + "\\Vantorel Server";
    WriteFile(path, "REGEDIT4\r\n\r\n; written on Linux\r\n[" + key + "]\r\n"
                    "\"MasterPath\"=\"D:\\\\Data\\\\\"\r\n"
                    "\"Motto\"=\"say \\\"hello\\\"\"\r\n\r\n[" + key + "\\Connection]\r\n\"PortNumber\"=\"1006\"\r\n");
    ASSERT_TRUE(OpenRegistryFileStore(path)->Update([&](RegistryKeys& keys) {
        keys.CreateKey(key + "\\Connection")->WriteString("PortNumber", "2001");
        keys.CreateKey(key + "\\Options")->WriteString("Greeting", "C:\\a \"b\"");
        return true;
    }));

    ASSERT_EQ(RunTool("reg.exe import \"" + path + "\""), 0u);

    EXPECT_EQ(Read(key, "MasterPath"), "D:\\Data\\");
    EXPECT_EQ(Read(key, "Motto"), "say \"hello\"");
    EXPECT_EQ(Read(key + "\\Connection", "PortNumber"), "2001");
    EXPECT_EQ(Read(key + "\\Options", "Greeting"), "C:\\a \"b\"");
}

} // namespace
} // namespace vserver::platform
