#pragma once
// The configuration store: every persistent setting of the server, read from the registry store
// below HKEY_LOCAL_MACHINE\Software\QORA\Vantorel Server (the registry file, or the system
// registry where there is one). Each operation sees the settings as they are now, so an edit by
// another process is read at the next operation. The two writes it ever makes each go to the
// store in one step.

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "formats/RegistryFile.h"
#include "platform/DurableWrites.h"
#include "platform/RegistryStore.h"

namespace vserver::settings {

inline constexpr const char* kServerKey = "HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server";
inline constexpr const char* kConnectionKey = "HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection";
inline constexpr const char* kOptionsKey = "HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options";

// The usage statistics file in the users folder. Its name is older than the service's event
// log and has nothing to do with it.
inline constexpr const char* kStatisticsFileName = "EventLog.log";

// The folder layout derived from the executable's location, the data folder and MasterPath.
struct FolderLayout {
    std::string executableFolder;       // with trailing separator; empty when unknown
    std::string usersFolder;            // master folder + "Users", no trailing separator
    std::string statisticsPath;         // usersFolder/kStatisticsFileName
    std::string userMessagesPath;       // DataFolder() + "UserMessages.log"
    std::string forcedToolbarSetsPath;  // DataFolder() + "ForcedToolbarSets.log"
};

// PortNumber as stored and as the server reads it.
struct PortSetting {
    std::string text = "1006";  // the stored text, or the default when absent or empty
    bool stored = false;        // the Connection key holds a non-empty PortNumber
    int number = 1006;          // the text read by the C library's integer rule
    int port = 1006;            // the port a listening socket is given for number: its low 16 bits
    bool plain = true;          // a plain decimal from 1 to 65535, or "0" (the system chooses)
};

// The port setting of a registry as the server reads it, without storing the default; the
// console reads the port with it too, so both always agree.
PortSetting ReadPortSetting(platform::RegistryKeys& keys);
PortSetting ReadPortSetting(const platform::RegistryFile& registry);

// An option the server itself reads from the Options key.
struct ServerOption {
    enum class Kind {
        Flag,      // True or False
        Seconds,   // a number greater than 0
        Text,      // read as stored (address lists, counts); empty means the default
    };
    const char* name;
    const char* defaultText;
    Kind kind;
    const char* meaning;
};
const std::vector<ServerOption>& ServerOptions();
// The option of that name (without regard to case), or nothing for a name the server does not use.
const ServerOption* FindServerOption(std::string_view name);
// The value the server works with for a stored text: for a flag "True" or "False", for a
// number of seconds the number, otherwise the text. A missing or empty text gives the default.
std::string EffectiveOptionValue(const ServerOption& option, const std::string& storedText);

// The flag the server works with for a stored text of one of ServerOptions()' flags.
bool OptionFlag(std::string_view name, const std::string& storedText);

struct OptionFlags {
    bool allowAccountCreation = true;
    bool logUserStatistics = false;
};

// Options values read together, from one version of the settings.
struct OptionTexts {
    // As stored, in the order asked for; empty when missing, empty or not a string.
    std::vector<std::string> texts;
    // Why the Options key cannot be read with certainty, naming the store, the line and the
    // reason; empty when it can.
    std::string unreadable;
};

class ConfigStore {
public:
    // Uses the registry file at registryPath.
    explicit ConfigStore(std::string registryPath);
    // Uses the given store; platform::OpenInstallationRegistry() for the installation's own.
    explicit ConfigStore(std::shared_ptr<platform::RegistryStore> store);

    FolderLayout DerivePaths() const;
    OptionFlags LoadOptionFlags() const;
    // PortNumber read leniently (letters give 0); "1006" when absent or empty, and then "1006"
    // is written back when the Connection key exists.
    int ReadPortNumber() const;
    // The same with the stored text, for telling the operator about a value that is no port.
    PortSetting ReadPort() const;
    // The value, or defaultText when the value is missing, empty or not a string.
    std::string ReadOption(const std::string& name, const std::string& defaultText) const;
    // The named Options values and whether the key can be read with certainty.
    OptionTexts ReadOptionTexts(std::initializer_list<const char*> names) const;
    // True when the Options key could be opened or created.
    bool WriteOption(const std::string& name, const std::string& text) const;
    // Starts writing name = text without holding up the loop for the disk. Started: done runs
    // on the loop later, with true once the value is durable, with false when it could not be
    // written (logged). Busy: nothing was started (another write of this store is in flight, or
    // another process holds the registry file's lock), nothing logged, done never runs. Failed:
    // nothing was written, the reason is logged, done never runs.
    enum class WriteStart { Started, Busy, Failed };
    WriteStart WriteOptionDurably(const std::string& name, const std::string& text, platform::SyncWorker& syncs,
                                  std::function<void(bool written)> done) const;
    // MasterPath with a trailing separator ("/" when unset).
    std::string ReadMasterPath() const;
    // MasterPath exactly as stored (empty when missing).
    std::string ReadMasterPathText() const;
    // Seconds a liveness check waits: Options\LivenessTimeoutSeconds, 10 when absent or empty.
    int ReadLivenessTimeoutSeconds() const;
    // Options\AllowConsoleRequestsFromAnyConnection read as a boolean option (default False).
    bool ReadAllowConsoleRequestsFromAnyConnection() const;
    // Connection\BindAddress as stored, empty when absent.
    std::string ReadBindAddress() const;

    // How messages name where the settings are kept ("registry file <path>").
    std::string registryName() const { return store_->Name(); }
    // The registry file that holds the settings; empty when the system registry does.
    std::string registryFilePath() const { return store_->FilePath(); }

private:
    // False, with the reason logged, for a name the registry file cannot hold.
    bool WritableName(const std::string& name) const;
    void LogWriteFailure(const std::string& name, const platform::SysResult& result) const;
    // Calls read with the settings as they are now; what makes them unreadable is logged once.
    // The result is the store's: a failure when it could not be read at all.
    platform::SysResult Read(const std::function<void(platform::RegistryKeys&)>& read) const;
    // The string value, empty when the key or value is missing or the value is no string.
    std::string ReadText(const char* key, const std::string& name) const;
    std::string StoreDefaultPort() const;

    std::shared_ptr<platform::RegistryStore> store_;
};

} // namespace vserver::settings
