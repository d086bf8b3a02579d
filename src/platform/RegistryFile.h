#pragma once
// The registry file: the settings store of the server and of its registration, kept as a
// REGEDIT4 text file (one "[key]" block per key, "name"="string" lines, "@" for the default
// value). RegistryFile owns an in-memory copy of the whole file; nothing stays open between
// calls. Key paths are written with backslashes and begin with the hive name, for example
// "HKEY_LOCAL_MACHINE\Software\QORA\Vantorel Server\Connection". Key and value names match
// without regard to case. Values of other types (dword:, hex(N):) are read as "not a string"
// and written back unchanged.

#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/SysResult.h"

namespace vserver::platform {

class RegistryFile {
public:
    struct Value {
        std::string name;      // "" is the key's default value ("@" in the file)
        std::string data;      // the unescaped string, or the raw text after '=' for other types
        bool isString = true;
    };
    struct Key {
        std::string path;
        std::vector<Value> values;
    };

    // Parses text. Lines that cannot be read are skipped and described in problems (when given);
    // everything readable is kept.
    static RegistryFile Parse(std::string_view text, std::vector<std::string>* problems = nullptr);

    // Reads the file at path. A missing file is an empty registry and no error; an unreadable
    // one gives the failed call.
    static SysResult Load(const std::string& path, RegistryFile& out,
                          std::vector<std::string>* problems = nullptr);

    // Applies change to the newest content of the file under an exclusive lock, then replaces
    // the file by writing a temporary file and renaming it, so a crash never leaves a torn file
    // and two processes never lose each other's values. When change returns false nothing is
    // written. A file with lines that cannot be read is left as it is (the result is a "parse"
    // failure), since rewriting it would drop what a person wrote there.
    static SysResult Update(const std::string& path, const std::function<bool(RegistryFile&)>& change);
    // As Update, but never waits for the lock: while another process holds it the result is a
    // failure for which IsLockBusy is true and nothing was changed.
    static SysResult TryUpdate(const std::string& path, const std::function<bool(RegistryFile&)>& change);

    bool HasKey(std::string_view key) const;
    // The string value, or nothing when the key or value is missing or the value is not a string.
    std::optional<std::string> ReadString(std::string_view key, std::string_view name) const;
    const Key* FindKey(std::string_view key) const;

    // Creates the key and every parent key that is missing.
    void CreateKey(std::string_view key);
    // Creates the key as needed and stores name = text as a string. A name holding a line break
    // cannot be written to the file and is ignored.
    void WriteString(std::string_view key, std::string_view name, std::string_view text);
    bool DeleteValue(std::string_view key, std::string_view name);
    // Removes the key and all its subkeys.
    bool DeleteKeyTree(std::string_view key);

    // The file's text: "REGEDIT4", a blank line, then each key as a block.
    std::string Serialize() const;

    const std::vector<Key>& keys() const { return keys_; }

private:
    static SysResult UpdateLocked(const std::string& path, const std::function<bool(RegistryFile&)>& change,
                                  bool waitForLock);
    Key* FindKeyMutable(std::string_view key);
    std::vector<Key> keys_;
};

// The registry file of this installation: $VSERVER_REGISTRY, or VServerService.reg in the
// executable's folder.
std::string RegistryFilePath();

} // namespace vserver::platform
