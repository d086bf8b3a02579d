// The system registry through its 8-bit ("A") functions, so names and texts stay in the system
// code page like every other text of the server. Keys are opened for full access, as the
// registration and the settings writers need; a reading that is refused full access (a server
// run by hand without administrator rights) opens the key for reading instead, rather than
// taking every setting for missing.

#include "SystemRegistry.h"

#include <cerrno>
#include <utility>

#include "Win32Error.h"
#include "formats/TextCase.h"
#include "platform/DurableWrites.h"

namespace vserver::platform {
namespace {

SysResult Failure(const char* call, LSTATUS status) {
    return SysResult::Failure(call, ErrnoFromWin32(static_cast<unsigned long>(status)), static_cast<long>(status));
}

// The hive a path begins with and the path below it.
struct KeyPath {
    HKEY hive = nullptr;
    std::string subkey;
};

std::optional<KeyPath> SplitKeyPath(std::string_view path) {
    const std::pair<const char*, HKEY> hives[] = {
        {"HKEY_LOCAL_MACHINE", HKEY_LOCAL_MACHINE}, {"HKEY_CLASSES_ROOT", HKEY_CLASSES_ROOT},
        {"HKEY_CURRENT_USER", HKEY_CURRENT_USER},   {"HKEY_USERS", HKEY_USERS},
        {"HKEY_CURRENT_CONFIG", HKEY_CURRENT_CONFIG},
    };
    const std::size_t end = path.find('\\');
    const std::string_view hiveName = path.substr(0, end);
    for (const auto& [name, hive] : hives) {
        if (!EqualNoCase(hiveName, name)) continue;
        return KeyPath{hive, end == std::string_view::npos ? std::string() : std::string(path.substr(end + 1))};
    }
    return std::nullopt;
}

bool IsString(DWORD type) { return type == REG_SZ || type == REG_EXPAND_SZ; }

// The operations of one reading or change; it keeps the first failure of a change.
class SystemKeys final : public RegistryKeys {
public:
    explicit SystemKeys(bool writable) : writable_(writable) {}

    std::unique_ptr<RegistryKey> OpenKey(std::string_view path, SysResult* failure = nullptr) override;
    std::unique_ptr<RegistryKey> CreateKey(std::string_view path) override;
    bool DeleteKeyTree(std::string_view path) override;

    bool writable() const { return writable_; }
    void Record(const SysResult& failure) {
        if (firstFailure_) firstFailure_ = failure;
    }
    const SysResult& firstFailure() const { return firstFailure_; }

private:
    bool writable_;
    SysResult firstFailure_ = SysResult::Ok();
};

class SystemKey final : public RegistryKey {
public:
    SystemKey(HKEY handle, SystemKeys& keys) : handle_(handle), keys_(keys) {}
    ~SystemKey() override { ::RegCloseKey(handle_); }
    SystemKey(const SystemKey&) = delete;
    SystemKey& operator=(const SystemKey&) = delete;

    std::optional<std::string> ReadString(std::string_view name) const override {
        const std::string valueName(name);
        DWORD type = 0;
        DWORD size = 0;
        // The type comes first: only strings are read.
        if (::RegQueryValueExA(handle_, valueName.c_str(), nullptr, &type, nullptr, &size) != ERROR_SUCCESS ||
            !IsString(type)) {
            return std::nullopt;
        }
        std::string data;
        for (;;) {
            // One byte more than asked for, for a terminator the stored data may lack.
            data.assign(static_cast<std::size_t>(size) + 1, '\0');
            DWORD got = size;
            const LSTATUS status = ::RegQueryValueExA(handle_, valueName.c_str(), nullptr, &type,
                                                      reinterpret_cast<BYTE*>(data.data()), &got);
            // Another writer made the value longer meanwhile: ask again with the new size.
            if (status == ERROR_MORE_DATA) {
                size = got;
                continue;
            }
            if (status != ERROR_SUCCESS || !IsString(type)) return std::nullopt;
            data.resize(got);
            break;
        }
        // The text ends at its terminator.
        if (const std::size_t end = data.find('\0'); end != std::string::npos) data.resize(end);
        return data;
    }

    bool HasValue(std::string_view name) const override {
        return ::RegQueryValueExA(handle_, std::string(name).c_str(), nullptr, nullptr, nullptr, nullptr) ==
               ERROR_SUCCESS;
    }

    std::vector<std::string> ValueNames() const override {
        std::vector<std::string> names;
        DWORD longest = 0;
        if (::RegQueryInfoKeyA(handle_, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &longest,
                               nullptr, nullptr, nullptr) != ERROR_SUCCESS) {
            return names;
        }
        std::string name;
        for (DWORD index = 0;;) {
            // The longest name counts no terminator; another writer may add a longer one meanwhile.
            name.assign(static_cast<std::size_t>(longest) + 1, '\0');
            DWORD length = longest + 1;
            const LSTATUS status =
                ::RegEnumValueA(handle_, index, name.data(), &length, nullptr, nullptr, nullptr, nullptr);
            if (status == ERROR_MORE_DATA) {
                longest = longest * 2 + 256;
                continue;
            }
            if (status != ERROR_SUCCESS) break;
            names.push_back(name.substr(0, length));
            ++index;
        }
        return names;
    }

    bool WriteString(std::string_view name, std::string_view text) override {
        if (!keys_.writable()) return false;
        const std::string data(text);
        // The stored length counts the terminator.
        const LSTATUS status = ::RegSetValueExA(handle_, std::string(name).c_str(), 0, REG_SZ,
                                                reinterpret_cast<const BYTE*>(data.c_str()),
                                                static_cast<DWORD>(data.size() + 1));
        if (status == ERROR_SUCCESS) return true;
        keys_.Record(Failure("RegSetValueExA", status));
        return false;
    }

    bool DeleteValue(std::string_view name) override {
        if (!keys_.writable()) return false;
        const LSTATUS status = ::RegDeleteValueA(handle_, std::string(name).c_str());
        if (status == ERROR_SUCCESS) return true;
        if (status != ERROR_FILE_NOT_FOUND) keys_.Record(Failure("RegDeleteValueA", status));
        return false;
    }

private:
    HKEY handle_;
    SystemKeys& keys_;
};

std::unique_ptr<RegistryKey> SystemKeys::OpenKey(std::string_view path, SysResult* failure) {
    const std::optional<KeyPath> where = SplitKeyPath(path);
    LSTATUS status = ERROR_BAD_PATHNAME;
    HKEY handle = nullptr;
    if (where) {
        status = ::RegOpenKeyExA(where->hive, where->subkey.c_str(), 0, KEY_ALL_ACCESS, &handle);
        if (status == ERROR_ACCESS_DENIED && !writable_) {
            status = ::RegOpenKeyExA(where->hive, where->subkey.c_str(), 0, KEY_READ, &handle);
        }
    }
    if (status != ERROR_SUCCESS) {
        if (failure) *failure = Failure("RegOpenKeyExA", status);
        return nullptr;
    }
    return std::make_unique<SystemKey>(handle, *this);
}

std::unique_ptr<RegistryKey> SystemKeys::CreateKey(std::string_view path) {
    if (!writable_) return nullptr;
    const std::optional<KeyPath> where = SplitKeyPath(path);
    if (!where) {
        Record(Failure("RegCreateKeyExA", ERROR_BAD_PATHNAME));
        return nullptr;
    }
    HKEY handle = nullptr;
    const LSTATUS status = ::RegCreateKeyExA(where->hive, where->subkey.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                             KEY_ALL_ACCESS, nullptr, &handle, nullptr);
    if (status != ERROR_SUCCESS) {
        Record(Failure("RegCreateKeyExA", status));
        return nullptr;
    }
    return std::make_unique<SystemKey>(handle, *this);
}

bool SystemKeys::DeleteKeyTree(std::string_view path) {
    if (!writable_) return false;
    const std::optional<KeyPath> where = SplitKeyPath(path);
    // A hive itself is never removed: with no key below it named, the system would empty it.
    if (!where || where->subkey.empty()) {
        Record(Failure("RegDeleteTreeA", ERROR_BAD_PATHNAME));
        return false;
    }
    const LSTATUS status = ::RegDeleteTreeA(where->hive, where->subkey.c_str());
    if (status == ERROR_SUCCESS) return true;
    if (status != ERROR_FILE_NOT_FOUND) Record(Failure("RegDeleteTreeA", status));
    return false;
}

class SystemRegistryStore final : public RegistryStore {
public:
    std::string Name() const override { return "the system registry"; }
    std::string FilePath() const override { return {}; }

    // Nothing is kept between readings: a reading opens a key and asks for a value or two, which
    // costs less than comparing a file's stamps, and every change by any process shows at once.
    SysResult Read(const std::function<void(RegistryKeys&)>& read, std::vector<std::string>*) const override {
        SystemKeys keys(false);
        read(keys);
        return SysResult::Ok();
    }

    // The system takes each operation alone; there is no lock to wait for.
    SysResult Update(const std::function<bool(RegistryKeys&)>& change, bool) override {
        SystemKeys keys(true);
        (void)change(keys);
        return keys.firstFailure();
    }

    // The system keeps what it was given, as it does for every other writer; the outcome is
    // handed to the loop like that of a write that needed a sync.
    SysResult WriteStringDurably(std::string_view key, std::string_view name, std::string_view text,
                                 SyncWorker& syncs, std::function<void(SysResult)> done) override {
        const SysResult written = Update(
            [&](RegistryKeys& keys) {
                const std::unique_ptr<RegistryKey> opened = keys.CreateKey(key);
                return opened && opened->WriteString(name, text);
            },
            true);
        syncs.Submit(UnsyncedWrite{}, [written, done = std::move(done)](SysResult) { done(written); });
        return SysResult::Ok();
    }
};

} // namespace

std::unique_ptr<RegistryStore> OpenSystemRegistry() { return std::make_unique<SystemRegistryStore>(); }

} // namespace vserver::platform
