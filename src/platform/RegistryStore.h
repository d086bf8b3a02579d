#pragma once
// The settings store of the server and of its registration: registry keys with string values,
// kept either in the registry file (RegistryFile) or in the system registry where the system
// has one. Callers see only keys and values. Key paths begin with the hive name and use
// backslashes ("HKEY_LOCAL_MACHINE\Software\QORA\Vantorel Server\Options"); key and value names
// match without regard to case; "" names a key's default value.

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SysResult.h"

namespace vserver::platform {

class SyncWorker;

// One open key. It belongs to the reading or the change that opened it and must not outlive it.
class RegistryKey {
public:
    virtual ~RegistryKey() = default;
    // The text of a string value (an expandable string is a string, returned unexpanded), or
    // nothing when the value is missing or of another type.
    virtual std::optional<std::string> ReadString(std::string_view name) const = 0;
    // Whether a value of that name exists, whatever its type.
    virtual bool HasValue(std::string_view name) const = 0;
    // The names of every value of the key, whatever their types ("" for the default value).
    virtual std::vector<std::string> ValueNames() const = 0;
    // Stores name = text as a string, replacing a value of any type. False when it could not.
    virtual bool WriteString(std::string_view name, std::string_view text) = 0;
    // True when a value was removed; a missing value is no failure.
    virtual bool DeleteValue(std::string_view name) = 0;
};

// The keys as one reading or one change sees them.
class RegistryKeys {
public:
    virtual ~RegistryKeys() = default;
    // An existing key, or nothing; failure (when given) then says why (ENOENT: no such key).
    virtual std::unique_ptr<RegistryKey> OpenKey(std::string_view path, SysResult* failure = nullptr) = 0;
    // The key, created first when missing; nothing when it could not be created.
    virtual std::unique_ptr<RegistryKey> CreateKey(std::string_view path) = 0;
    // Removes the key with all its subkeys and values. True when something was removed.
    virtual bool DeleteKeyTree(std::string_view path) = 0;
    // Why the values of the key at path may not be what the store is meant to hold (a line of
    // the registry file that cannot be read, a file that is empty while an editor saves it),
    // naming the line and the reason; nothing when they read whole.
    virtual std::optional<std::string> Doubt(std::string_view path) const {
        (void)path;
        return std::nullopt;
    }
};

class RegistryStore {
public:
    virtual ~RegistryStore() = default;

    // How messages name the store: "registry file <path>" or "the system registry".
    virtual std::string Name() const = 0;
    // The registry file behind the store; empty for the system registry.
    virtual std::string FilePath() const = 0;

    // Calls read with the keys as they are now. Writes are refused inside a reading. A store
    // that cannot be read at all gives the failure, and read sees no keys. problems (when given)
    // receives the lines of the registry file that cannot be read, each time the file is read
    // anew; a copy that is kept because the file is unchanged was reported when it was read.
    virtual SysResult Read(const std::function<void(RegistryKeys&)>& read,
                           std::vector<std::string>* problems = nullptr) const = 0;

    // Calls change with the keys as they are now and keeps what it did. In the registry file
    // the change is one step under the file's lock: it sees every earlier change, nothing of it
    // is written when it returns false, and a failure leaves the file as it was. In the system
    // registry each operation takes effect at once and the first one that fails is the result.
    // With waitForLock false a file whose lock another process holds is not waited for: the
    // result is then a failure for which IsLockBusy is true, and nothing changed.
    virtual SysResult Update(const std::function<bool(RegistryKeys&)>& change, bool waitForLock = true) = 0;

    // Stores name = text as a string value of the key (created when missing) without holding up
    // the loop for the disk: when the result is Ok, done runs later on the loop with the outcome
    // once the value is durable (or could not be made so), and readings see it from then on,
    // never before. A failure means nothing changed and done never runs; IsLockBusy is true for
    // it while another such write of this store is in flight or another process holds the
    // registry file's lock, so that trying again later may succeed.
    virtual SysResult WriteStringDurably(std::string_view key, std::string_view name, std::string_view text,
                                         SyncWorker& syncs, std::function<void(SysResult)> done) = 0;
};

// The store at the registry file path.
std::unique_ptr<RegistryStore> OpenRegistryFileStore(const std::string& path);

// The store of this installation. A non-empty VSERVER_REGISTRY names a registry file that is
// used on every system; otherwise the system registry where there is one, else the registry
// file VServerService.reg in the executable's folder.
std::unique_ptr<RegistryStore> OpenInstallationRegistry();

} // namespace vserver::platform
