#pragma once
// The configuration store: every persistent setting of the server, read from the registry file
// below HKEY_LOCAL_MACHINE\Software\QORA\Vantorel Server. It keeps no cache: each operation
// reads the file (and, for the two writes it ever makes, rewrites it under its lock).

#include <string>

namespace vserver::settings {

inline constexpr const char* kServerKey = "HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server";
inline constexpr const char* kConnectionKey = "HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Connection";
inline constexpr const char* kOptionsKey = "HKEY_LOCAL_MACHINE\\Software\\QORA\\Vantorel Server\\Options";

// The folder layout derived from the executable's location and MasterPath.
struct FolderLayout {
    std::string executableFolder;       // with trailing separator; empty when unknown
    std::string usersFolder;            // master folder + "Users", no trailing separator
    std::string eventLogPath;           // usersFolder/EventLog.log
    std::string userMessagesPath;       // executableFolder + "UserMessages.log"
    std::string forcedToolbarSetsPath;  // executableFolder + "ForcedToolbarSets.log"
};

struct OptionFlags {
    bool allowAccountCreation = true;
    bool logUserStatistics = false;
};

class ConfigStore {
public:
    // Uses the given registry file; RegistryFilePath() for the installation's own.
    explicit ConfigStore(std::string registryPath);

    FolderLayout DerivePaths() const;
    OptionFlags LoadOptionFlags() const;
    // PortNumber read leniently (letters give 0); "1006" when absent or empty, and then "1006"
    // is written back when the Connection key exists.
    int ReadPortNumber() const;
    // The value, or defaultText when the value is missing, empty or not a string.
    std::string ReadOption(const std::string& name, const std::string& defaultText) const;
    // True when the Options key could be opened or created.
    bool WriteOption(const std::string& name, const std::string& text) const;
    // MasterPath with a trailing separator ("/" when unset).
    std::string ReadMasterPath() const;
    // Seconds a liveness check waits: Options\LivenessTimeoutSeconds, 10 when absent or empty.
    int ReadLivenessTimeoutSeconds() const;
    // Options\AllowConsoleRequestsFromAnyConnection read as a boolean option (default False).
    bool ReadAllowConsoleRequestsFromAnyConnection() const;
    // Connection\BindAddress as stored, empty when absent.
    std::string ReadBindAddress() const;

    const std::string& registryPath() const { return registryPath_; }

private:
    std::string registryPath_;
};

} // namespace vserver::settings
