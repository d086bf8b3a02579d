#include "settings/ConfigStore.h"

#include <optional>
#include <utility>
#include <vector>

#include "formats/TextCase.h"
#include "platform/ProcessInfo.h"
#include "platform/SystemTraits.h"
#include "platform/common/RegistryFileStore.h"
#include "settings/InstallationFolders.h"
#include "settings/ServiceLog.h"
#include "wire/Fields.h"

namespace vserver::settings {
namespace {

using platform::RegistryFile;
using platform::RegistryKey;
using platform::RegistryKeys;
using platform::SysResult;

constexpr const char* kDefaultPort = "1006";
constexpr int kDefaultLivenessTimeoutSeconds = 10;

using Kind = ServerOption::Kind;
const std::vector<ServerOption> kServerOptions = {
    {"AllowAccountCreation", "True", Kind::Flag, "clients may create their own accounts"},
    {"LogUserStatistics", "False", Kind::Flag, "write the usage statistics file in the users folder"},
    {"AllowConsoleRequestsFromAnyConnection", "False", Kind::Flag,
     "accept console requests from connections not logged on as the console"},
    {"LivenessTimeoutSeconds", "10", Kind::Seconds, "seconds a logon waits for an earlier session's answer"},
    {"ConsoleAddresses", "", Kind::Text, "the addresses a console may log on from; empty: any"},
    {"MaxConnectionsPerAddress", "", Kind::Text, "connections one address may hold; empty: no limit"},
    {"ConsoleOnlySharedFiles", "False", Kind::Flag, "only a console may change the shared files"},
};

// Digits only, 0 (the system chooses) to 65535: the texts that mean what they say.
bool IsPlainPort(const std::string& text) {
    if (text.empty()) return false;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
    }
    return wire::ReadNumber(text) <= 65535;
}

// Every operation reads the file again, so the same unreadable file would otherwise fill the
// service log with one line per request. A complaint is written once until it changes.
void ReportOnce(const std::string& complaint) {
    static std::string lastComplaint;
    if (complaint == lastComplaint) return;
    lastComplaint = complaint;
    WriteServiceLog(complaint);
}

std::string DescribeProblems(const std::string& path, const std::vector<std::string>& problems) {
    constexpr std::size_t kShownProblems = 3;
    std::string text = "Registry file " + path + " has lines that cannot be read; they are ignored: ";
    for (std::size_t i = 0; i < problems.size() && i < kShownProblems; ++i) {
        if (i > 0) text += "; ";
        text += problems[i];
    }
    if (problems.size() > kShownProblems) {
        text += "; and " + std::to_string(problems.size() - kShownProblems) + " more";
    }
    return text;
}

std::string ReadText(RegistryKeys& keys, const char* key, const std::string& name) {
    const std::unique_ptr<RegistryKey> opened = keys.OpenKey(key);
    return opened ? opened->ReadString(name).value_or(std::string()) : std::string();
}

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// An empty text is the default, not stored.
PortSetting InterpretPort(std::string text) {
    PortSetting setting;
    if (!text.empty()) {
        setting.text = std::move(text);
        setting.stored = true;
    }
    setting.number = wire::ReadNumber(setting.text);
    setting.port = static_cast<int>(static_cast<unsigned>(setting.number) & 0xFFFFu);
    setting.plain = IsPlainPort(setting.text);
    return setting;
}

} // namespace

PortSetting ReadPortSetting(RegistryKeys& keys) { return InterpretPort(ReadText(keys, kConnectionKey, "PortNumber")); }

PortSetting ReadPortSetting(const RegistryFile& registry) {
    platform::RegistryFileKeys keys(registry);
    return ReadPortSetting(keys);
}

const std::vector<ServerOption>& ServerOptions() { return kServerOptions; }

const ServerOption* FindServerOption(std::string_view name) {
    for (const ServerOption& option : kServerOptions) {
        if (platform::EqualNoCase(option.name, name)) return &option;
    }
    return nullptr;
}

std::string EffectiveOptionValue(const ServerOption& option, const std::string& storedText) {
    const std::string text = storedText.empty() ? option.defaultText : storedText;
    if (option.kind == Kind::Flag) return LowerAscii(text) == "true" ? "True" : "False";
    if (option.kind == Kind::Text) return text;
    const int seconds = wire::ReadNumber(text);
    return std::to_string(seconds > 0 ? seconds : wire::ReadNumber(option.defaultText));
}

// A flag as the server reads it: true exactly when the stored word, or the default when nothing
// usable is stored, is "true" in any capitals (" true", "yes" and "1" are all false). The name
// is one of ServerOptions(), so the console reports the same value.
bool OptionFlag(std::string_view name, const std::string& storedText) {
    return EffectiveOptionValue(*FindServerOption(name), storedText) == "True";
}

ConfigStore::ConfigStore(std::string registryPath)
    : store_(platform::OpenRegistryFileStore(std::move(registryPath))) {}

ConfigStore::ConfigStore(std::shared_ptr<platform::RegistryStore> store) : store_(std::move(store)) {}

// A store that cannot be read gives the defaults, a registry file with unreadable lines gives
// its readable keys. Either is reported once.
SysResult ConfigStore::Read(const std::function<void(RegistryKeys&)>& read) const {
    std::vector<std::string> problems;
    const SysResult result = store_->Read(read, &problems);
    if (!result) {
        ReportOnce("Unable to read " + store_->Name() + ": " + result.Describe());
    } else if (!problems.empty()) {
        ReportOnce(DescribeProblems(store_->FilePath(), problems));
    }
    return result;
}

std::string ConfigStore::ReadText(const char* key, const std::string& name) const {
    std::string text;
    (void)Read([&](RegistryKeys& keys) { text = settings::ReadText(keys, key, name); });
    return text;
}

// Stores the default port, unless another process stored a usable value since it was read;
// that newer value is then the one to use.
std::string ConfigStore::StoreDefaultPort() const {
    std::string port = kDefaultPort;
    const SysResult stored = store_->Update([&](RegistryKeys& keys) {
        // A Connection key that has gone meanwhile is not created again.
        const std::unique_ptr<RegistryKey> connection = keys.OpenKey(kConnectionKey);
        if (!connection) return false;
        std::string newest = connection->ReadString("PortNumber").value_or(std::string());
        if (!newest.empty()) {
            port = std::move(newest);
            return false;
        }
        connection->WriteString("PortNumber", kDefaultPort);
        return true;
    });
    if (!stored) {
        WriteServiceLog("Unable to store the default PortNumber in " + store_->Name() + ": " + stored.Describe());
    }
    return port;
}

FolderLayout ConfigStore::DerivePaths() const {
    FolderLayout layout;
    const std::string master = ReadMasterPath();
    layout.executableFolder = platform::ExecutableFolder();
    if (layout.executableFolder.empty()) {
        WriteServiceLog("Unable to initialize server, can't find path to executable");
    }
    layout.usersFolder = master + "Users";
    layout.statisticsPath = layout.usersFolder + platform::kPathSeparator + kStatisticsFileName;
    const std::string data = DataFolder();
    layout.userMessagesPath = data + "UserMessages.log";
    layout.forcedToolbarSetsPath = data + "ForcedToolbarSets.log";
    return layout;
}

OptionFlags ConfigStore::LoadOptionFlags() const {
    const OptionTexts read = ReadOptionTexts({"AllowAccountCreation", "LogUserStatistics"});
    return OptionFlags{OptionFlag("AllowAccountCreation", read.texts[0]), OptionFlag("LogUserStatistics", read.texts[1])};
}

OptionTexts ConfigStore::ReadOptionTexts(std::initializer_list<const char*> names) const {
    OptionTexts read;
    const SysResult result = Read([&](RegistryKeys& keys) {
        const std::unique_ptr<RegistryKey> options = keys.OpenKey(kOptionsKey);
        for (const char* name : names) {
            read.texts.push_back(options ? options->ReadString(name).value_or(std::string()) : std::string());
        }
        if (std::optional<std::string> doubt = keys.Doubt(kOptionsKey)) read.unreadable = store_->Name() + ": " + *doubt;
    });
    if (!result) read.unreadable = store_->Name() + ": " + result.Describe();
    return read;
}

int ConfigStore::ReadPortNumber() const { return ReadPort().number; }

PortSetting ConfigStore::ReadPort() const {
    bool connection = false;
    std::string text;
    (void)Read([&](RegistryKeys& keys) {
        const std::unique_ptr<RegistryKey> key = keys.OpenKey(kConnectionKey);
        connection = key != nullptr;
        if (key) text = key->ReadString("PortNumber").value_or(std::string());
    });
    if (!connection) return InterpretPort({});
    if (text.empty()) text = StoreDefaultPort();
    return InterpretPort(std::move(text));
}

std::string ConfigStore::ReadOption(const std::string& name, const std::string& defaultText) const {
    const std::string text = ReadText(kOptionsKey, name);
    return text.empty() ? defaultText : text;
}

bool ConfigStore::WritableName(const std::string& name) const {
    if (name.find_first_of("\r\n") == std::string::npos) return true;
    WriteServiceLog("Unable to write option with a line break in its name to " + store_->Name());
    return false;
}

void ConfigStore::LogWriteFailure(const std::string& name, const SysResult& result) const {
    WriteServiceLog("Unable to write option " + name + " to " + store_->Name() + ": " + result.Describe());
}

bool ConfigStore::WriteOption(const std::string& name, const std::string& text) const {
    if (!WritableName(name)) return false;
    const SysResult written = store_->Update([&](RegistryKeys& keys) {
        const std::unique_ptr<RegistryKey> options = keys.CreateKey(kOptionsKey);
        if (options) options->WriteString(name, text);
        return options != nullptr;
    });
    if (!written) LogWriteFailure(name, written);
    return written.ok();
}

ConfigStore::WriteStart ConfigStore::WriteOptionDurably(const std::string& name, const std::string& text,
                                                        platform::SyncWorker& syncs,
                                                        std::function<void(bool written)> done) const {
    if (!WritableName(name)) return WriteStart::Failed;
    const SysResult started = store_->WriteStringDurably(
        kOptionsKey, name, text, syncs, [config = *this, name, done = std::move(done)](SysResult written) {
            if (!written) config.LogWriteFailure(name, written);
            done(written.ok());
        });
    if (started) return WriteStart::Started;
    if (platform::IsLockBusy(started)) return WriteStart::Busy;
    LogWriteFailure(name, started);
    return WriteStart::Failed;
}

std::string ConfigStore::ReadMasterPathText() const {
    return ReadText(kServerKey, "MasterPath");
}

std::string ConfigStore::ReadMasterPath() const {
    std::string master = ReadMasterPathText();
    if (master.empty() || master.back() != platform::kPathSeparator) master += platform::kPathSeparator;
    return master;
}

int ConfigStore::ReadLivenessTimeoutSeconds() const {
    const int seconds = wire::ReadNumber(ReadText(kOptionsKey, "LivenessTimeoutSeconds"));
    return seconds > 0 ? seconds : kDefaultLivenessTimeoutSeconds;
}

bool ConfigStore::ReadAllowConsoleRequestsFromAnyConnection() const {
    return OptionFlag("AllowConsoleRequestsFromAnyConnection", ReadText(kOptionsKey, "AllowConsoleRequestsFromAnyConnection"));
}

std::string ConfigStore::ReadBindAddress() const {
    return ReadText(kConnectionKey, "BindAddress");
}

} // namespace vserver::settings
