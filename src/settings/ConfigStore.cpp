#include "settings/ConfigStore.h"

#include <optional>
#include <utility>
#include <vector>

#include "platform/ProcessInfo.h"
#include "platform/RegistryFile.h"
#include "platform/TextCase.h"
#include "settings/InstallationFolders.h"
#include "settings/ServiceLog.h"
#include "wire/Fields.h"

namespace vserver::settings {
namespace {

using platform::RegistryFile;
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

// The registry as far as it can be read: a file that cannot be opened gives the defaults, a
// file with unreadable lines gives its readable keys. Either is reported once.
RegistryFile LoadRegistry(const std::string& path, RegistryFile::Stamps& stamps) {
    RegistryFile registry;
    std::vector<std::string> problems;
    const SysResult loaded = RegistryFile::Load(path, registry, &problems, &stamps);
    if (!loaded) {
        ReportOnce("Unable to read registry file " + path + ": " + loaded.Describe());
        stamps = RegistryFile::Stamps();
    } else if (!problems.empty()) {
        ReportOnce(DescribeProblems(path, problems));
    }
    return registry;
}

std::string ReadText(const RegistryFile& registry, const char* key, const std::string& name) {
    return registry.ReadString(key, name).value_or(std::string());
}

std::string LowerAscii(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

// Stores the default port under the lock, unless another process stored a usable value since
// it was read; that newer value is then the one to use.
std::string StoreDefaultPort(const std::string& path) {
    std::string port = kDefaultPort;
    const SysResult stored = RegistryFile::Update(path, [&](RegistryFile& registry) {
        // A Connection key that has gone meanwhile is not created again.
        if (!registry.HasKey(kConnectionKey)) return false;
        std::string newest = ReadText(registry, kConnectionKey, "PortNumber");
        if (!newest.empty()) {
            port = std::move(newest);
            return false;
        }
        registry.WriteString(kConnectionKey, "PortNumber", kDefaultPort);
        return true;
    });
    if (!stored) {
        WriteServiceLog("Unable to store the default PortNumber in registry file " + path + ": " +
                        stored.Describe());
    }
    return port;
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

PortSetting ReadPortSetting(const RegistryFile& registry) {
    return InterpretPort(registry.HasKey(kConnectionKey) ? ReadText(registry, kConnectionKey, "PortNumber") : std::string());
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

namespace {

// A flag as the server reads it: true exactly when the stored word, or the default when nothing
// usable is stored, is "true" in any capitals (" true", "yes" and "1" are all false). The name
// is one of ServerOptions(), so the console reports the same value.
bool ReadFlag(const RegistryFile& registry, const char* name) {
    return EffectiveOptionValue(*FindServerOption(name), ReadText(registry, kOptionsKey, name)) == "True";
}

} // namespace

ConfigStore::ConfigStore(std::string registryPath) : registryPath_(std::move(registryPath)) {}

const RegistryFile& ConfigStore::Current() const {
    RegistryFile::Stamps now;
    if (parsed_ && parsed_->stamps.settled && RegistryFile::ReadStamps(registryPath_, now) &&
        now.SameVersion(parsed_->stamps)) {
        return parsed_->registry;
    }
    RegistryFile::Stamps stamps;
    RegistryFile registry = LoadRegistry(registryPath_, stamps);
    parsed_ = Parsed{std::move(registry), stamps};
    return parsed_->registry;
}

FolderLayout ConfigStore::DerivePaths() const {
    FolderLayout layout;
    const std::string master = ReadMasterPath();
    layout.executableFolder = platform::ExecutableFolder();
    if (layout.executableFolder.empty()) {
        WriteServiceLog("Unable to initialize server, can't find path to executable");
    }
    layout.usersFolder = master + "Users";
    layout.eventLogPath = layout.usersFolder + platform::kPathSeparator + "EventLog.log";
    const std::string data = DataFolder();
    layout.userMessagesPath = data + "UserMessages.log";
    layout.forcedToolbarSetsPath = data + "ForcedToolbarSets.log";
    return layout;
}

OptionFlags ConfigStore::LoadOptionFlags() const {
    const RegistryFile& registry = Current();
    OptionFlags flags;
    flags.allowAccountCreation = ReadFlag(registry, "AllowAccountCreation");
    flags.logUserStatistics = ReadFlag(registry, "LogUserStatistics");
    return flags;
}

int ConfigStore::ReadPortNumber() const { return ReadPort().number; }

PortSetting ConfigStore::ReadPort() const {
    const RegistryFile& registry = Current();
    if (!registry.HasKey(kConnectionKey)) return InterpretPort({});
    std::string text = ReadText(registry, kConnectionKey, "PortNumber");
    if (text.empty()) text = StoreDefaultPort(registryPath_);
    return InterpretPort(std::move(text));
}

std::string ConfigStore::ReadOption(const std::string& name, const std::string& defaultText) const {
    const std::string text = ReadText(Current(), kOptionsKey, name);
    return text.empty() ? defaultText : text;
}

bool ConfigStore::WriteOption(const std::string& name, const std::string& text) const {
    return WriteOptionLocked(name, text, true) == WriteOutcome::Written;
}

ConfigStore::WriteOutcome ConfigStore::TryWriteOption(const std::string& name, const std::string& text) const {
    return WriteOptionLocked(name, text, false);
}

ConfigStore::WriteOutcome ConfigStore::WriteOptionLocked(const std::string& name, const std::string& text,
                                                         bool waitForLock) const {
    if (name.find_first_of("\r\n") != std::string::npos) {
        WriteServiceLog("Unable to write option with a line break in its name to registry file " + registryPath_);
        return WriteOutcome::Failed;
    }
    auto change = [&](RegistryFile& registry) {
        registry.WriteString(kOptionsKey, name, text);
        return true;
    };
    const SysResult written = waitForLock ? RegistryFile::Update(registryPath_, change)
                                          : RegistryFile::TryUpdate(registryPath_, change);
    if (platform::IsLockBusy(written)) return WriteOutcome::Busy;
    if (!written) {
        WriteServiceLog("Unable to write option " + name + " to registry file " + registryPath_ + ": " +
                        written.Describe());
        return WriteOutcome::Failed;
    }
    return WriteOutcome::Written;
}

std::string ConfigStore::ReadMasterPathText() const {
    return ReadText(Current(), kServerKey, "MasterPath");
}

std::string ConfigStore::ReadMasterPath() const {
    std::string master = ReadMasterPathText();
    if (master.empty() || master.back() != platform::kPathSeparator) master += platform::kPathSeparator;
    return master;
}

int ConfigStore::ReadLivenessTimeoutSeconds() const {
    const int seconds = wire::ReadNumber(ReadText(Current(), kOptionsKey, "LivenessTimeoutSeconds"));
    return seconds > 0 ? seconds : kDefaultLivenessTimeoutSeconds;
}

bool ConfigStore::ReadAllowConsoleRequestsFromAnyConnection() const {
    return ReadFlag(Current(), "AllowConsoleRequestsFromAnyConnection");
}

std::string ConfigStore::ReadBindAddress() const {
    return ReadText(Current(), kConnectionKey, "BindAddress");
}

} // namespace vserver::settings
